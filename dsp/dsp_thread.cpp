#include "dsp/dsp_thread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "dsp/fft.h"
#include "dsp/fir_block_kernel.h"
#include "platform/console_out.h"
#include "sample_ring/sample_ring.h"

namespace {

constexpr double pcm_limit = 32768.0;  // a product whose magnitude reaches this truncates past 32,767

bool running(const RxState& state) { return state.running.load(std::memory_order_relaxed) != 0; }

bool listening(const DspChain& chain) {
  return chain.listen_sink.write != nullptr && chain.dsp.listen.mode != ListenMode::off;
}

// The level line; with a listening channel it also tells the channel's level and
// whether its squelch is open.
void print_level_line(const DspChain& chain) {
  const DspState& dsp = chain.dsp;
  char line[192];
  int length = std::snprintf(line, sizeof line, "Delitel = %.0f   Usilitel = %.0f",
                             static_cast<double>(dsp.Delitel), static_cast<double>(dsp.Usilitel));
  if (length <= 0) return;
  if (listening(chain)) {
    const ListenChannel& listen = dsp.listen;
    const double level = listen.level_dbfs.load(std::memory_order_relaxed);
    const int32_t squelch = listen.squelch_tenths;
    char threshold[32] = "off";
    if (squelch != squelch_off) std::snprintf(threshold, sizeof threshold, "%.1f dB", squelch / 10.0);
    char measured[32] = "no level";  // before the channel's first window
    if (level > no_level_dbfs) std::snprintf(measured, sizeof measured, "%.1f dBFS", level);
    length += std::snprintf(line + length, sizeof line - static_cast<size_t>(length), "   %s %s, squelch %s, %s",
                            listen_mode_label(listen.mode), measured, threshold, listen.open ? "open" : "closed");
  }
  length = std::min<int>(length, static_cast<int>(sizeof line) - 2);
  line[length++] = '\n';
  console_write(std::string_view(line, static_cast<size_t>(length)));
}

// Spectrum tap over a run of samples: capture 1,024, transform, hand over, then skip
// 50,000. Skipping and capturing advance by whole stretches, not sample by sample.
void spectrum_tap(const DspChain& chain, const float* iq, int32_t pairs) {
  DspState& dsp = chain.dsp;
  int32_t n = 0;
  while (n < pairs) {
    if (dsp.spectrum_skip != 0) {
      // The count passes 50,000 on the (50,001 - skip)-th sample from here.
      const int32_t k = std::min(pairs - n, spectrum_skip_samples + 1 - dsp.spectrum_skip);
      dsp.spectrum_skip += k;
      if (dsp.spectrum_skip > spectrum_skip_samples) dsp.spectrum_skip = 0;
      n += k;
      continue;
    }
    const int32_t k = std::min(pairs - n, spectrum_size - dsp.spectrum_pos);
    const float* from = iq + 2 * static_cast<size_t>(n);
    for (int32_t m = 0; m < k; ++m) {
      dsp.capture_re[dsp.spectrum_pos + m] = from[2 * m];
      dsp.capture_im[dsp.spectrum_pos + m] = from[2 * m + 1];
    }
    dsp.spectrum_pos += k;
    n += k;
    if (dsp.spectrum_pos > spectrum_size - 1) {
      dsp.spectrum_pos = 0;
      fft_radix2(dsp.capture_re, dsp.capture_im, spectrum_log2_size);
      dsp.spectrum_skip = 1;
      // The level line goes out before the display can see the new spectrum.
      if (chain.state.spectrum_debug.load(std::memory_order_relaxed) != 0) print_level_line(chain);
      spectrum_publish(chain.spectrum, dsp.capture_re, dsp.capture_im);
    }
  }
}

// Whether gain g brings the frame (x, y) within 16 bits: the I product is kept in double,
// the Q product is rounded to float first; both then truncate toward zero.
bool frame_fits(double g, float x, float y) {
  const double a = g * x;
  const float b = static_cast<float>(g * y);
  return std::fabs(a) < pcm_limit && std::fabs(static_cast<double>(b)) < pcm_limit;
}

void store_frame(DspState& dsp, int k, double g) {
  const double a = g * dsp.out_i[k];
  const float b = static_cast<float>(g * dsp.out_q[k]);
  dsp.pcm_block[2 * k] = static_cast<int16_t>(static_cast<int32_t>(a));
  dsp.pcm_block[2 * k + 1] = static_cast<int16_t>(static_cast<int32_t>(b));
}

// The gain the stepwise back-off settles on for one frame: g, g - 1, g - 2, ... until the
// frame fits. Fitting is monotone in a non-negative gain (each product only grows with
// it), so start near the boundary and settle by whole steps from there.
double settle_gain(double g, float x, float y) {
  if (frame_fits(g, x, y)) return g;
  const double peak = std::fmax(std::fabs(static_cast<double>(x)), std::fabs(static_cast<double>(y)));
  if (!(g >= 0.0) || !std::isfinite(peak) || peak == 0.0) {
    while (!frame_fits(g, x, y)) g -= 1.0;
    return g;
  }
  double steps = std::floor(g - pcm_limit / peak);
  if (steps < 0.0) steps = 0.0;
  if (steps > std::ceil(g)) steps = std::ceil(g);
  double candidate = g - steps;
  while (!frame_fits(candidate, x, y)) candidate -= 1.0;
  while (candidate + 1.0 <= g && frame_fits(candidate + 1.0, x, y)) candidate += 1.0;
  return candidate;
}

// Input samples until the one that completes the PCM block being collected, that one
// included; -1 while the filter's phase lies outside its decimation period.
int64_t samples_to_block(const FirFilter& filter, const DspState& dsp) {
  if (filter.phase < 0 || filter.phase >= filter.decimation) return -1;
  return static_cast<int64_t>(filter.decimation - filter.phase) +
         static_cast<int64_t>(block_frames - 1 - dsp.out_count) * filter.decimation;
}

void sleep_idle() { std::this_thread::sleep_for(std::chrono::milliseconds(dsp_idle_ms)); }

// The stores to wait for before the next wake-up: with the spectrum on screen every
// store, so that each snapshot is drawn; otherwise as many as complete the PCM block
// being collected, which is what anyone hears, so that the thread wakes once per block
// with its filter still in the cache.
uint64_t stores_to_wait_for(const DspLinks& links) {
  const uint64_t next = links.dsp.next_store.load(std::memory_order_relaxed);
  const int64_t to_block = samples_to_block(links.filter, links.dsp);
  if (links.state.display_run.load(std::memory_order_relaxed) != 0 || to_block < 0) return next + 1u;
  const int64_t slots =
      std::clamp<int64_t>((to_block + ring_slot_pairs - 1) / ring_slot_pairs, 1, dsp_max_stores_per_wake);
  return next + static_cast<uint64_t>(slots);
}

}  // namespace

void dsp_build_table(DspState& dsp) {
  for (int v = 0; v < 256; ++v) {
    dsp.sample_table[v] = static_cast<float>((v - 127) / static_cast<double>(dsp.Delitel));
  }
  // With a power-of-two Delitel (the receiver's 128) every entry is an exact product.
  dsp.table_scale = dsp.sample_table[128];
  dsp.table_linear = true;
  for (int v = 0; v < 256; ++v) {
    if (dsp.sample_table[v] != static_cast<float>(v - 127) * dsp.table_scale) dsp.table_linear = false;
  }
}

void dsp_convert_bytes(const DspState& dsp, const uint8_t* bytes, int32_t count, float* out) {
  if (dsp.table_linear) {
    fir_block_simd::convert_bytes(bytes, static_cast<size_t>(count), dsp.table_scale, out);
  } else {
    for (int32_t k = 0; k < count; ++k) out[k] = dsp.sample_table[bytes[k]];
  }
}

void dsp_scale_block(DspState& dsp) {
  double g = dsp.Usilitel;
  for (int k = 0; k < block_frames; ++k) {
    g = settle_gain(g, dsp.out_i[k], dsp.out_q[k]);
    store_frame(dsp, k, g);
  }
  dsp.Usilitel = static_cast<float>(g);
}

float dsp_block_level_dbfs(const DspState& dsp) {
  double power = 0.0;
  for (int k = 0; k < dsp.out_count; ++k) {
    power += static_cast<double>(dsp.out_i[k]) * dsp.out_i[k] +
             static_cast<double>(dsp.out_q[k]) * dsp.out_q[k];
  }
  if (dsp.out_count == 0 || !(power > 0.0)) return no_level_dbfs;
  const double level = 10.0 * std::log10(power / dsp.out_count);
  return std::isfinite(level) ? static_cast<float>(level) : no_level_dbfs;
}

void dsp_produce_block(const DspChain& chain) {
  DspState& dsp = chain.dsp;
  // Read by the control port; nothing orders on it.
  dsp.level_dbfs.store(dsp_block_level_dbfs(dsp), std::memory_order_relaxed);
  dsp_scale_block(dsp);
  if (chain.sink.write != nullptr) chain.sink.write(chain.sink.context, dsp.pcm_block, block_bytes);
  // The narrow modes take the baseband as it was before the level control.
  if (listening(chain)) listen_feed_baseband(dsp.listen, dsp.out_i, dsp.out_q, block_frames, chain.listen_sink);
  // Recovery happens whether or not the sink took the block; in float it stops at 2^24.
  dsp.Usilitel = dsp.Usilitel + 1.0f;
}

int32_t dsp_process_samples(const DspChain& chain, const float* iq, int32_t pairs) {
  DspState& dsp = chain.dsp;
  FirFilter& filter = chain.filter;
  if (chain.listen_sink.write != nullptr) listen_apply(dsp.listen, chain.state);
  const bool wide_fm = listening(chain) && dsp.listen.mode == ListenMode::wfm;
  int32_t n = 0;
  while (n < pairs) {
    if (!running(chain.state)) return n;
    // A run ends with the sample that completes the block being collected, so the block
    // is produced (and the gain moved) before any later sample is tapped or filtered.
    int32_t run = pairs - n;
    const int64_t to_block = samples_to_block(filter, dsp);
    if (to_block < 0) {
      run = 1;
    } else if (to_block < run) {
      run = static_cast<int32_t>(to_block);
    }
    const float* from = iq + 2 * static_cast<size_t>(n);
    spectrum_tap(chain, from, run);
    if (wide_fm) listen_feed_raw(dsp.listen, from, run, chain.listen_sink);
    dsp.out_count += fir_push_block_iq(filter, dsp.fir_work, from, run, dsp.out_i + dsp.out_count,
                                       dsp.out_q + dsp.out_count);
    if (dsp.out_count == block_frames) {
      dsp_produce_block(chain);
      dsp.out_count = 0;
    }
    n += run;
  }
  return pairs;
}

int32_t dsp_process_bytes(const DspChain& chain, const uint8_t* bytes, int32_t count) {
  constexpr int32_t chunk_pairs = ring_slot_pairs;
  DspState& dsp = chain.dsp;
  int32_t done = 0;
  const int32_t pairs = count / 2;
  while (done < pairs) {
    const int32_t n = pairs - done < chunk_pairs ? pairs - done : chunk_pairs;
    const uint8_t* from = bytes + 2 * static_cast<size_t>(done);
    dsp_convert_bytes(dsp, from, 2 * n, dsp.slot_samples);
    const int32_t processed = dsp_process_samples(chain, dsp.slot_samples, n);
    done += processed;
    if (processed < n) break;
  }
  return done;
}

void dsp_consume_slot(const DspLinks& links) {
  DspState& dsp = links.dsp;
  const int32_t slot = links.ring.ring_read.load(std::memory_order_relaxed);
  const RingTake take = ring_take_bytes(links.ring, slot, dsp.slot_bytes);
  // Stores between the one expected and the one found were overwritten before they
  // were read; a torn slot loses its block as well.
  const uint64_t expected = dsp.next_store.load(std::memory_order_relaxed);
  const int64_t gap = static_cast<int64_t>(take.store - expected);
  uint64_t lost = gap > 0 ? static_cast<uint64_t>(gap) : 0u;
  if (gap >= 0) dsp.next_store.store(take.store + 1u, std::memory_order_release);
  if (take.torn) lost += 1u;
  if (lost != 0) dsp.overruns.store(dsp.overruns.load(std::memory_order_relaxed) + lost, std::memory_order_relaxed);
  if (take.torn) return;
  if (links.slot_start != nullptr) links.slot_start(links.slot_context, take.store, dsp.out_count);
  dsp_convert_bytes(dsp, dsp.slot_bytes, 2 * take.pairs, dsp.slot_samples);
  const DspChain chain{links.state, links.filter, links.dsp, links.spectrum, links.sink, links.listen_sink};
  dsp_process_samples(chain, dsp.slot_samples, take.pairs);
}

int dsp_thread(DspLinks links) {
  RxState& state = links.state;
  SampleRing& ring = links.ring;
  dsp_build_table(links.dsp);
  if (state.stream_stop.load(std::memory_order_relaxed) == 0) {
    for (;;) {
      if (!running(state)) break;
      while (ring.ring_read.load(std::memory_order_relaxed) != ring.ring_write.load(std::memory_order_acquire) &&
             running(state)) {
        dsp_consume_slot(links);
        ring.ring_read.store(ring_next(ring.ring_read.load(std::memory_order_relaxed)), std::memory_order_relaxed);
      }
      if (links.idle != nullptr) {
        links.idle(links.idle_context);
      } else if (links.ring_stored != nullptr) {
        if (!ring_request_wake(ring, stores_to_wait_for(links))) {
          wake_event_wait(*links.ring_stored, links.store_wait_ms);
        }
      } else {
        sleep_idle();
      }
      if (state.stream_stop.load(std::memory_order_relaxed) != 0) break;
    }
  }
  state.stream_stop.store(10, std::memory_order_relaxed);
  return 0;
}
