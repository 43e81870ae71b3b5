// FirFilter: the channel filter. Two real FIR filters (I and Q branches) run together
// and decimated together; only every `decimation`-th push computes an output. The
// histories are linear buffers compacted when full, so the window is always contiguous.
#pragma once

#include <cstdint>

#include "variants/variant.h"

inline constexpr int32_t fir_capacity = 4096;
inline constexpr int32_t channel_filter_taps = 256;

struct FirFilter {
  int32_t taps;                  // coefficients per branch, 2 to 4,095
  int32_t decimation;            // input samples per output, 1 or more
  float coef_i[fir_capacity];    // I branch coefficients; the first `taps` are used
  float coef_q[fir_capacity];    // Q branch coefficients
  float hist_i[fir_capacity];    // I input history
  float hist_q[fir_capacity];    // Q input history, in step with hist_i
  int32_t write_pos;             // where the next sample goes; taps..4,095 between calls
  int32_t phase;                 // pushes since the last output
};

// Sets taps and decimation, write_pos = taps, phase = 0; coefficients and histories stay.
void fir_reset(FirFilter& filter, int32_t taps, int32_t decimation);

// Designs both coefficient sets, then resets. Always returns 1.
int32_t fir_init(FirFilter& filter, int32_t taps, int32_t decimation, float low_edge, float high_edge,
                 int32_t quadrature_i, int32_t quadrature_q);

// The receiver's channel filter for a variant: 256 taps, the variant's decimation,
// band 0 to its upper edge, in-phase on both branches.
int32_t fir_init_channel(FirFilter& filter, const Variant& variant);

// Pushes one complex sample. Returns 1 with the output in out[0] (I) and out[1] (Q) when
// this push completes a decimation period, else 0 and out is untouched. The output is
// formed from the `taps` samples before this one; coefficient 0 meets the oldest.
int32_t fir_push(FirFilter& filter, float i_sample, float q_sample, float* out);

// Sum of a[j] * b[j] for ascending j, in double precision; 0.0 for n = 0.
double dot_product(const float* a, const float* b, uint32_t n);
