#include "dsp/fir_block.h"

#include <algorithm>
#include <cstring>

#include "dsp/fir_block_kernel.h"

namespace {

// Where the samples of one call come from: planar (stride 1) or interleaved (stride 2,
// q = i + 1).
struct Input {
  const float* i;
  const float* q;
  size_t stride;
};

int32_t push_one_by_one(FirFilter& filter, const Input& in, int32_t count, float* out_i, float* out_q) {
  int32_t produced = 0;
  float out[2];
  for (int32_t n = 0; n < count; ++n) {
    const size_t at = static_cast<size_t>(n) * in.stride;
    if (fir_push(filter, in.i[at], in.q[at], out) == 1) {
      out_i[produced] = out[0];
      out_q[produced] = out[1];
      produced += 1;
    }
  }
  return produced;
}

// The storing half of fir_push for a run of samples: whole stretches at a time up to the
// end of the histories, compacting there exactly as single pushes do.
void store_history(FirFilter& filter, const float* from_i, const float* from_q, int32_t count) {
  while (count > 0) {
    const int32_t room = fir_capacity - filter.write_pos;
    const int32_t n = std::min(count, room);
    const size_t bytes = static_cast<size_t>(n) * sizeof(float);
    std::memcpy(filter.hist_i + filter.write_pos, from_i, bytes);
    std::memcpy(filter.hist_q + filter.write_pos, from_q, bytes);
    filter.write_pos += n;
    from_i += n;
    from_q += n;
    count -= n;
    if (filter.write_pos == fir_capacity) {
      const size_t keep = static_cast<size_t>(filter.taps) * sizeof(float);
      std::memmove(filter.hist_i, filter.hist_i + (fir_capacity - filter.taps), keep);
      std::memmove(filter.hist_q, filter.hist_q + (fir_capacity - filter.taps), keep);
      filter.write_pos = filter.taps;
    }
  }
}

int64_t round_up(int64_t value, int64_t step) { return (value + step - 1) / step * step; }

// The most outputs one run may compute with `lanes` doubles per vector: the polyphase
// rows and the line (window, samples, padding) must fit the work areas. 0 when not even
// one vector's worth fits; such shapes go sample by sample.
int64_t run_outputs_limit(int32_t taps, int32_t decimation, int64_t lanes) {
  const int64_t d = decimation;
  const int64_t rows = std::min<int64_t>(d, taps);
  const int64_t reach = (taps - 1) / d;  // whole decimation periods a window spans
  int64_t outputs = (fir_block_poly_capacity / rows - reach) / lanes * lanes;
  while (outputs > 0) {
    const int64_t first = d - 1;  // the latest a run's first output can come
    const int64_t line_used = first + (outputs + reach - 1) * d + rows;
    const int64_t line_filled = taps + first + outputs * d;
    if (line_used <= fir_block_line_capacity && line_filled <= fir_block_line_capacity) break;
    outputs -= lanes;
  }
  return outputs > 0 ? outputs : 0;
}

int32_t push_block(FirFilter& filter, FirBlockWork& work, const Input& in, int32_t count, float* out_i,
                   float* out_q) {
  if (count <= 0) return 0;
  const int32_t taps = filter.taps;
  const int32_t d = filter.decimation;
  // Outside the record's invariants the stepwise filter is the only faithful model.
  const bool valid = taps >= 2 && taps < fir_capacity && d >= 1 && filter.phase >= 0 && filter.phase < d &&
                     filter.write_pos >= taps && filter.write_pos < fir_capacity;
  const int64_t lanes = static_cast<int64_t>(fir_block_simd::lanes());
  const int64_t max_outputs = valid ? run_outputs_limit(taps, d, lanes) : 0;
  if (max_outputs == 0) return push_one_by_one(filter, in, count, out_i, out_q);

  for (int32_t j = 0; j < taps; ++j) {
    work.coef_i[j] = static_cast<double>(filter.coef_i[j]);
    work.coef_q[j] = static_cast<double>(filter.coef_q[j]);
  }
  const int32_t rows = std::min(d, taps);
  const int64_t reach = (taps - 1) / d;

  int32_t done = 0;
  int32_t produced = 0;
  while (done < count) {
    // Sample n of this run (0-based) completes an output when phase + n + 1 reaches d.
    const int64_t first = d - 1 - filter.phase;
    const int32_t run = static_cast<int32_t>(std::min<int64_t>(count - done, first + max_outputs * d));
    // The line: the window carried in the history, then this run's samples.
    std::memcpy(work.line_i, filter.hist_i + (filter.write_pos - taps), static_cast<size_t>(taps) * sizeof(float));
    std::memcpy(work.line_q, filter.hist_q + (filter.write_pos - taps), static_cast<size_t>(taps) * sizeof(float));
    if (in.stride == 1) {
      std::memcpy(work.line_i + taps, in.i + done, static_cast<size_t>(run) * sizeof(float));
      std::memcpy(work.line_q + taps, in.q + done, static_cast<size_t>(run) * sizeof(float));
    } else {
      fir_block_simd::deinterleave(in.i + 2 * static_cast<size_t>(done), static_cast<size_t>(run),
                                   work.line_i + taps, work.line_q + taps);
    }

    const int64_t outputs = first < run ? (run - 1 - first) / d + 1 : 0;
    if (outputs > 0) {
      const int64_t padded = round_up(outputs, lanes);
      const int64_t row_length = padded + reach;
      // The padded lanes read past the samples: give them zeros rather than stale data.
      const int64_t used = first + (row_length - 1) * d + rows;
      const int64_t filled = static_cast<int64_t>(taps) + run;
      if (used > filled) {
        std::fill(work.line_i + filled, work.line_i + used, 0.0f);
        std::fill(work.line_q + filled, work.line_q + used, 0.0f);
      }
      FirBlockJob job;
      job.coef_i = work.coef_i;
      job.coef_q = work.coef_q;
      job.line_i = work.line_i + first;
      job.line_q = work.line_q + first;
      job.poly_i = work.poly_i;
      job.poly_q = work.poly_q;
      job.staged_i = work.staged_i;
      job.staged_q = work.staged_q;
      job.taps = taps;
      job.decimation = d;
      job.rows = rows;
      job.outputs_padded = static_cast<int32_t>(padded);
      job.row_length = static_cast<int32_t>(row_length);
      fir_block_simd::run_kernel(job);
      std::memcpy(out_i + produced, work.staged_i, static_cast<size_t>(outputs) * sizeof(float));
      std::memcpy(out_q + produced, work.staged_q, static_cast<size_t>(outputs) * sizeof(float));
      produced += static_cast<int32_t>(outputs);
    }
    store_history(filter, work.line_i + taps, work.line_q + taps, run);
    filter.phase = static_cast<int32_t>((static_cast<int64_t>(filter.phase) + run) % d);
    done += run;
  }
  return produced;
}

}  // namespace

int32_t fir_push_block(FirFilter& filter, FirBlockWork& work, const float* in_i, const float* in_q,
                       int32_t count, float* out_i, float* out_q) {
  return push_block(filter, work, Input{in_i, in_q, 1}, count, out_i, out_q);
}

int32_t fir_push_block_iq(FirFilter& filter, FirBlockWork& work, const float* iq, int32_t count, float* out_i,
                          float* out_q) {
  return push_block(filter, work, Input{iq, iq + 1, 2}, count, out_i, out_q);
}
