#include "variants/variant.h"

namespace {
// rxiq24 forms its upper edge from its own rate; the result is the same float as 0.02.
constexpr float rxiq24_high_edge() {
  const float inverse_rate = static_cast<float>(1.0 / 2400000.0);
  return static_cast<float>(48000.0 * inverse_rate);
}
}  // namespace

constinit const Variant rxiq12_variant = {
    .program_name = "rxiq12",
    .sample_rate = 1200000,
    .decimation = 25,
    .frame_rate = 48000,
    .filter_high_edge = 0.02f,
    .gain = 1200000,
    .gain_special_values = true,
    .scale_half_span = 600000,
};

constinit const Variant rxiq24_variant = {
    .program_name = "rxiq24",
    .sample_rate = 2400000,
    .decimation = 25,
    .frame_rate = 96000,
    .filter_high_edge = rxiq24_high_edge(),
    .gain = 2400000,
    .gain_special_values = false,
    .scale_half_span = 1200000,
};

const char* const rxiq_version = RXIQ_VERSION;
