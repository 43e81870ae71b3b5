#include <cstdio>

#include "control/command_line.h"
#include "control/receiver.h"

#ifndef RXIQ_VARIANT
#error "RXIQ_VARIANT must be 12 or 24"
#endif

int main(int argc, char** argv) {
  const Variant& variant = variant_by_number(RXIQ_VARIANT);
  if (answer_help_or_version(variant, argc, argv, stdout)) return 0;
  return receiver_main(variant, argc, argv);
}

#if defined(__SANITIZE_THREAD__)
// The system's sound libraries are not built with ThreadSanitizer, so their own locking
// is invisible to it and it reports races inside them. Only frames in those libraries
// are matched; races in the receiver's code still report.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse.so\n"
         "race:libpulsecommon\n"
         "race:libasound.so\n"
         "race:libjack.so\n"
         "race:libportaudio.so\n";
}
#endif
