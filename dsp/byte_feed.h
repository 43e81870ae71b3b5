// The signal chain fed from a byte stream that may be cut anywhere, even between the I
// and the Q byte of one sample: an odd byte at the end of one piece waits for its
// partner at the start of the next, so that any cutting gives the output of one whole
// read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/dsp_thread.h"

struct ByteFeed {
  uint8_t held = 0;       // the I byte of a sample whose Q byte has not come yet
  bool have_held = false;
};

// Processes `count` more bytes of the stream. Returns false once the chain has stopped
// (running cleared, as a failing sink does); the rest of the piece is then not processed.
bool dsp_feed_bytes(const DspChain& chain, ByteFeed& feed, const uint8_t* bytes, size_t count);
