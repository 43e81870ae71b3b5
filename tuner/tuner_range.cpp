#include "tuner/tuner_range.h"

#include "tuner/rtl_tcp.h"

TunerRange tuner_range(int tuner_type) {
  // The ends librtlsdr's tuner drivers are known to lock at. The FC2580 has a gap
  // (308-438 MHz) that one range cannot show; the E4000 one near 1.1-1.25 GHz.
  switch (tuner_type) {
    case rtl_tcp_tuner_e4000: return {52000000u, 2200000000u};
    case rtl_tcp_tuner_fc0012: return {22000000u, 948600000u};
    case rtl_tcp_tuner_fc0013: return {22000000u, 1100000000u};
    case rtl_tcp_tuner_fc2580: return {146000000u, 924000000u};
    default: return {24000000u, 1766000000u};
  }
}
