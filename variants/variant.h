// Build constants of the two receivers. Everything that differs between rxiq12 and
// rxiq24 is in a Variant; the sources are the same.
#pragma once

#include <cstdint>

struct Variant {
  const char* program_name;
  int32_t sample_rate;          // dongle samples per second
  int32_t decimation;           // input samples per filter output
  int32_t frame_rate;           // audio channel 0 frames per second
  float filter_high_edge;       // upper band edge, cycles per input sample
  int32_t gain;                 // RxState::gain, dB
  bool gain_special_values;     // -1 (maximum) and -2 (automatic) recognised
  int32_t scale_half_span;      // frequency scale: Hz from the centre to an edge
};

extern const Variant rxiq12_variant;
extern const Variant rxiq24_variant;

// The variant a program was built as (RXIQ_VARIANT=12 or 24 on programs/rxiq.cpp).
inline const Variant& variant_by_number(int number) {
  return number == 24 ? rxiq24_variant : rxiq12_variant;
}

// The project's version, set once by the build (project() in CMakeLists.txt).
extern const char* const rxiq_version;
