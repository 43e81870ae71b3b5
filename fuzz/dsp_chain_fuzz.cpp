// The byte-to-PCM chain on any bytes, fed once whole and once in pieces of sizes the
// input chooses: both must end in exactly the same state with the same PCM out. The
// first byte repeats the input (up to 64 times) so that whole blocks come out too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/support/dsp_chain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t repeats = 1 + data[0] % 64;
  const uint32_t seed = data[1] | static_cast<uint32_t>(data[2]) << 8;
  std::vector<uint8_t> bytes;
  for (size_t r = 0; r < repeats; ++r) bytes.insert(bytes.end(), data + 3, data + size);

  static ChainRig* whole = nullptr;
  static ChainRig* cut = nullptr;
  delete whole;
  delete cut;
  whole = new ChainRig;
  cut = new ChainRig;
  if (!dsp_feed_bytes(whole->chain(), whole->feed, bytes.data(), bytes.size())) std::abort();

  // Piece sizes from a small generator: mostly short, odd and even, sometimes long.
  uint32_t x = seed * 2654435761u + 1u;
  size_t at = 0;
  while (at < bytes.size()) {
    x = x * 1664525u + 1013904223u;
    const size_t limit = (x >> 31) != 0 ? 7 : 100000;
    const size_t n = std::min(static_cast<size_t>(x >> 8) % (limit + 1), bytes.size() - at);
    if (!dsp_feed_bytes(cut->chain(), cut->feed, bytes.data() + at, n)) std::abort();
    at += n;
  }
  if (!cut->same_as(*whole)) std::abort();
  return 0;
}
