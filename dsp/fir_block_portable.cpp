// The block filter's one path where no SIMD library is built: plain C++, one output at a
// time. Each output is the same strictly ascending double sum as in the vector lanes (and
// in fir_push), so the bits are the same on every path.
#include <vector>

#include "dsp/fir_block.h"
#include "dsp/fir_block_kernel.h"

namespace {

// The id and name the path reports; tests and benchmarks iterate over it like any other.
constexpr int64_t portable_target = 1;

}  // namespace

namespace fir_block_simd {

void run_kernel(const FirBlockJob& job) {
  // Output m at tap j reads line[m * decimation + j]: the polyphase rows of the vector
  // paths hold the same values, so no rearranging is needed here.
  for (int32_t m = 0; m < job.outputs_padded; ++m) {
    const size_t start = static_cast<size_t>(m) * static_cast<size_t>(job.decimation);
    double sum_i = 0.0;
    double sum_q = 0.0;
    for (int32_t j = 0; j < job.taps; ++j) {
      sum_i += job.coef_i[j] * static_cast<double>(job.line_i[start + static_cast<size_t>(j)]);
      sum_q += job.coef_q[j] * static_cast<double>(job.line_q[start + static_cast<size_t>(j)]);
    }
    job.staged_i[m] = static_cast<float>(sum_i);
    job.staged_q[m] = static_cast<float>(sum_q);
  }
}

void deinterleave(const float* iq, size_t count, float* out_i, float* out_q) {
  for (size_t k = 0; k < count; ++k) {
    out_i[k] = iq[2 * k];
    out_q[k] = iq[2 * k + 1];
  }
}

void convert_bytes(const uint8_t* bytes, size_t count, float scale, float* out) {
  for (size_t k = 0; k < count; ++k) out[k] = static_cast<float>(static_cast<int>(bytes[k]) - 127) * scale;
}

size_t lanes() { return 1; }

int64_t target() { return portable_target; }

}  // namespace fir_block_simd

std::vector<int64_t> fir_block_targets() { return {portable_target}; }

const char* fir_block_target_name(int64_t) { return "portable"; }

void fir_block_force_target(int64_t) {}

int64_t fir_block_current_target() { return portable_target; }
