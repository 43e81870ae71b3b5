// The frequencies each tuner chip receives, as librtlsdr drives it: what the receiver
// offers to programs that tune it, and where it refuses a typed or remote frequency.
#pragma once

#include <cstdint>

struct TunerRange {
  uint32_t low_hz;
  uint32_t high_hz;
};

// The range of a tuner type (librtlsdr's numbering, as in rtl_tcp.h); an unknown type
// gets the R820T's, the tuner of nearly every dongle sold today.
TunerRange tuner_range(int tuner_type);

// Whether hz lies in the range, both ends included.
inline bool tuner_range_holds(const TunerRange& range, int64_t hz) {
  return hz >= range.low_hz && hz <= range.high_hz;
}
