#include "dsp/fir_filter.h"

#include <cstring>

#include "dsp/filter_design.h"

void fir_reset(FirFilter& filter, int32_t taps, int32_t decimation) {
  filter.taps = taps;
  filter.decimation = decimation;
  filter.write_pos = taps;
  filter.phase = 0;
}

int32_t fir_init(FirFilter& filter, int32_t taps, int32_t decimation, float low_edge, float high_edge,
                 int32_t quadrature_i, int32_t quadrature_q) {
  design_bandpass(filter.coef_i, taps, quadrature_i, low_edge, high_edge);
  design_bandpass(filter.coef_q, taps, quadrature_q, low_edge, high_edge);
  fir_reset(filter, taps, decimation);
  return 1;
}

int32_t fir_init_channel(FirFilter& filter, const Variant& variant) {
  return fir_init(filter, channel_filter_taps, variant.decimation, 0.0f, variant.filter_high_edge, 0, 0);
}

double dot_product(const float* a, const float* b, uint32_t n) {
  // Strictly in ascending order: the rounding of the sum depends on it.
  double sum = 0.0;
  for (uint32_t j = 0; j < n; ++j) sum += static_cast<double>(a[j]) * static_cast<double>(b[j]);
  return sum;
}

int32_t fir_push(FirFilter& filter, float i_sample, float q_sample, float* out) {
  const int32_t p = filter.write_pos;
  filter.hist_i[p] = i_sample;
  filter.hist_q[p] = q_sample;
  filter.write_pos = p + 1;
  filter.phase += 1;
  const bool produce = filter.phase == filter.decimation;
  if (produce) {
    // The window ends just before the sample stored above; it enters the next output.
    const uint32_t taps = static_cast<uint32_t>(filter.taps);
    out[0] = static_cast<float>(dot_product(filter.hist_i + (p - filter.taps), filter.coef_i, taps));
    out[1] = static_cast<float>(dot_product(filter.hist_q + (p - filter.taps), filter.coef_q, taps));
  }
  if (filter.write_pos == fir_capacity) {
    // Keep the newest `taps` samples at the front; memmove because the ranges overlap
    // once taps exceeds half the capacity.
    const size_t keep = static_cast<size_t>(filter.taps) * sizeof(float);
    std::memmove(filter.hist_i, filter.hist_i + (fir_capacity - filter.taps), keep);
    std::memmove(filter.hist_q, filter.hist_q + (fir_capacity - filter.taps), keep);
    filter.write_pos = filter.taps;
  }
  if (produce) {
    filter.phase = 0;
    return 1;
  }
  return 0;
}
