// Inner part of the block filter, compiled once per SIMD target (fir_block_simd.cpp) and
// chosen at run time. Only fir_block.cpp and the tests use it.
#pragma once

#include <cstddef>
#include <cstdint>

// One run of outputs. The line starts at the first sample of output 0's window:
// output m is the sum over ascending j of coef[j] * line[m * decimation + j].
struct FirBlockJob {
  const double* coef_i;
  const double* coef_q;
  const float* line_i;   // readable up to (row_length - 1) * decimation + rows
  const float* line_q;
  double* poly_i;        // rows * row_length doubles
  double* poly_q;
  float* staged_i;       // outputs_padded floats
  float* staged_q;
  int32_t taps;
  int32_t decimation;
  int32_t rows;             // polyphase rows in use: min(decimation, taps)
  int32_t outputs_padded;   // outputs to compute, a multiple of the vector length
  int32_t row_length;       // entries per row: outputs_padded + (taps - 1) / decimation, or more
};

namespace fir_block_simd {
void run_kernel(const FirBlockJob& job);   // through the current dispatch choice
void deinterleave(const float* iq, size_t count, float* out_i, float* out_q);
// out[k] = float(bytes[k] - 127) * scale.
void convert_bytes(const uint8_t* bytes, size_t count, float scale, float* out);
size_t lanes();                            // doubles per vector on the current path
int64_t target();                          // the current path's id
}  // namespace fir_block_simd
