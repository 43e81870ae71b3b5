// The key decoder on any input: never a crash, and Esc always quits. The first byte sets
// how often silence (lone_escape_ms without a byte) falls between the bytes; after the
// whole input, silence, one ESC and silence again must decode as exactly the Esc key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "terminal/key_decoder.h"

namespace {

void silence(KeyDecoder& decoder, std::vector<int>& keys) {
  if (key_decoder_waiting(decoder)) key_decoder_timeout(decoder, keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t silence_every = data[0];  // 0: no silence inside the input
  KeyDecoder decoder;
  std::vector<int> keys;
  for (size_t i = 1; i < size; ++i) {
    key_decoder_feed(decoder, data[i], keys);
    if (silence_every != 0 && i % silence_every == 0) silence(decoder, keys);
  }
  silence(decoder, keys);
  keys.clear();
  key_decoder_feed(decoder, 0x1b, keys);
  silence(decoder, keys);
  if (keys.size() != 1 || keys[0] != vk_escape) std::abort();
  return 0;
}
