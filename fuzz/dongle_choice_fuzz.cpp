// The RXIQ_DONGLE value parser on any text: never a read past the end, the same answer
// every time, and a refused value leaves the choice at librtlsdr.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tuner/dongle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An environment value ends at its first NUL; give the parser exactly that much.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string value = text.substr(0, text.find('\0'));
  char* copy = static_cast<char*>(std::malloc(value.size() + 1));
  if (!copy) return 0;
  std::memcpy(copy, value.c_str(), value.size() + 1);

  DongleChoice first;
  first.kind = DongleKind::sim;  // whatever it held must not matter
  const bool accepted = parse_dongle_choice(copy, first);
  DongleChoice second;
  if (parse_dongle_choice(copy, second) != accepted) std::abort();
  if (first.kind != second.kind || first.failure != second.failure ||
      first.failure_read != second.failure_read) {
    std::abort();
  }
  if (!accepted && first.kind != DongleKind::librtlsdr) std::abort();
  if (accepted && first.kind == DongleKind::sim && std::strncmp(copy, "sim", 3) != 0) std::abort();
  if (value.empty() && (!accepted || first.kind != DongleKind::librtlsdr)) std::abort();
  std::free(copy);
  return 0;
}
