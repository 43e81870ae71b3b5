// The SigMF metadata's JSON parser on any text: never a read past the end, never a stack
// exhausted by nesting, the same answer every time, and a message only on refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "recording/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonValue first, second;
  std::string error, again;
  const bool accepted = parse_json(text, first, error);
  if (parse_json(text, second, again) != accepted || error != again) std::abort();
  if (accepted != error.empty()) std::abort();
  return 0;
}
