// Block form of the channel filter: pushes a run of complex samples through a FirFilter
// at once. Every output has the same bits as fir_push would give for the same sample,
// and the record is left exactly as the same pushes through fir_push leave it
// (histories, write_pos, phase), so the two may be mixed freely.
//
// The speed comes from computing several outputs side by side, one per SIMD lane, each
// lane keeping its own strictly ascending double sum. The inputs are rearranged into a
// polyphase layout (for decimation D, the samples r, r + D, r + 2D, ... together) so the
// values that neighbouring outputs need at one tap sit next to each other in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/fir_filter.h"

// Capacity of the rearranged inputs, per branch, in doubles; bounds the run of outputs
// computed together, so it fits in the second-level cache.
inline constexpr int32_t fir_block_poly_capacity = 8192;
// Capacity of the contiguous input line per branch: the window carried over plus a run.
inline constexpr int32_t fir_block_line_capacity = fir_capacity + 16384;

// Working storage of the block filter. Nothing in it carries over between calls; one per
// thread that filters. About 350 KB: keep it in long-lived storage, not on a stack.
struct FirBlockWork {
  double coef_i[fir_capacity];                 // coefficients widened once per call
  double coef_q[fir_capacity];
  float line_i[fir_block_line_capacity];       // carried-over window, then the new samples
  float line_q[fir_block_line_capacity];
  double poly_i[fir_block_poly_capacity];      // polyphase rows of the line, widened
  double poly_q[fir_block_poly_capacity];
  float staged_i[fir_block_poly_capacity];     // outputs of a run, padded to whole vectors
  float staged_q[fir_block_poly_capacity];
};

// Pushes count samples (in_i[n], in_q[n]) in order. Writes the outputs, in order, to
// out_i and out_q, which need room for count / decimation + 1 values, and returns their
// number. count 0 does nothing.
int32_t fir_push_block(FirFilter& filter, FirBlockWork& work, const float* in_i, const float* in_q,
                       int32_t count, float* out_i, float* out_q);

// The same for interleaved input: iq[2n] is I and iq[2n + 1] is Q of sample n.
int32_t fir_push_block_iq(FirFilter& filter, FirBlockWork& work, const float* iq, int32_t count,
                          float* out_i, float* out_q);

// The SIMD code paths compiled into this program that the processor can run, best
// first, as opaque ids; and a short name for one ("AVX2", "NEON", "EMU128", ...).
std::vector<int64_t> fir_block_targets();
const char* fir_block_target_name(int64_t target);

// Restricts the block filter to one of the paths above, so tests and benchmarks can run
// each; 0 returns to the best path. Not for use while another thread is filtering.
void fir_block_force_target(int64_t target);

// The path the block filter currently runs.
int64_t fir_block_current_target();
