#include "settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

double number_or(const char* name, double fallback) {
  const std::string text = environment(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end && *end == '\0') return value;
  std::fprintf(stderr, "USB dongle emulator: %s=%s is not a number; using %.0f\n", name, text.c_str(), fallback);
  return fallback;
}

Settings load() {
  Settings s;
  s.record_path = environment("RXIQ_USB_RECORD");
  s.presence_path = environment("RXIQ_USB_PRESENCE");
  if (!environment("RXIQ_USB_SERIAL").empty()) s.serial = environment("RXIQ_USB_SERIAL");
  s.carrier_hz = number_or("RXIQ_USB_CARRIER", s.carrier_hz);
  s.crystal_ppm = number_or("RXIQ_USB_PPM", s.crystal_ppm);
  s.faults = parse_faults(environment("RXIQ_USB_FAULT"));
  if (!s.faults.problem.empty())
    std::fprintf(stderr,
                 "USB dongle emulator: RXIQ_USB_FAULT: cannot use '%s' (known: no-device, busy, access, "
                 "kernel-driver, read-error=N, unplug=S, replug=M)\n",
                 s.faults.problem.c_str());
  return s;
}

}  // namespace

const Settings& settings() {
  // Never destroyed: the record's last line is written from a destructor at exit.
  static const Settings* const loaded = new Settings(load());
  return *loaded;
}
