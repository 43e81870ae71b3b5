#include "dsp/byte_feed.h"

namespace {

constexpr size_t largest_call = size_t{1} << 30;  // even, and within dsp_process_bytes' int32_t

bool process(const DspChain& chain, const uint8_t* bytes, size_t count) {
  const int32_t pairs = static_cast<int32_t>(count / 2);
  return dsp_process_bytes(chain, bytes, static_cast<int32_t>(count)) == pairs;
}

}  // namespace

bool dsp_feed_bytes(const DspChain& chain, ByteFeed& feed, const uint8_t* bytes, size_t count) {
  if (count == 0) return true;
  if (feed.have_held) {
    const uint8_t pair[2] = {feed.held, bytes[0]};
    feed.have_held = false;
    if (!process(chain, pair, 2)) return false;
    ++bytes;
    --count;
  }
  while (count >= 2) {
    const size_t even = (count < largest_call ? count : largest_call) & ~size_t{1};
    if (!process(chain, bytes, even)) return false;
    bytes += even;
    count -= even;
  }
  if (count == 1) {
    feed.held = bytes[0];
    feed.have_held = true;
  }
  return true;
}
