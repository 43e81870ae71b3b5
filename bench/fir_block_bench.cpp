// Throughput of the channel filter in input samples per second, all in one run so the
// ratios are fair: single pushes, the block filter on every SIMD path this processor
// runs, liquid-dsp's firdecim_crcf with the same coefficients and decimation on the same
// converted samples, and the whole signal chain from raw bytes to packed PCM blocks.
#include <benchmark/benchmark.h>

#include <complex>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <liquid/liquid.h>

#include "core/rx_state.h"
#include "dsp/dsp_thread.h"
#include "dsp/fir_block.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "variants/variant.h"

namespace {

constexpr int slot_pairs = 32768;  // complex samples in one ring slot

// Raw dongle bytes: a noisy tone, as a receiver would see it.
const std::vector<uint8_t>& slot_bytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(2 * slot_pairs);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int n = 0; n < slot_pairs; ++n) {
      const double phase = 0.0123 * n;
      b[2 * n] = static_cast<uint8_t>(std::clamp(127.0 + 40.0 * std::cos(phase) + noise(rng), 0.0, 255.0));
      b[2 * n + 1] = static_cast<uint8_t>(std::clamp(127.0 + 40.0 * std::sin(phase) + noise(rng), 0.0, 255.0));
    }
    return b;
  }();
  return bytes;
}

// The same samples converted as the receiver converts them, interleaved I, Q.
const std::vector<float>& slot_iq() {
  static const std::vector<float> iq = [] {
    std::vector<float> v(2 * slot_pairs);
    for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<float>((slot_bytes()[k] - 127) / 128.0);
    return v;
  }();
  return iq;
}

std::unique_ptr<FirFilter> channel_filter() {
  auto filter = std::make_unique<FirFilter>();
  fir_init_channel(*filter, rxiq24_variant);
  return filter;
}

void fir_push_slot(benchmark::State& state) {
  auto filter = channel_filter();
  const std::vector<float>& iq = slot_iq();
  float out[2];
  for (auto _ : state) {
    for (int n = 0; n < slot_pairs; ++n) {
      if (fir_push(*filter, iq[2 * n], iq[2 * n + 1], out) == 1) benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * slot_pairs);
}
BENCHMARK(fir_push_slot)->Name("fir_push");

void fir_block_slot(benchmark::State& state, int64_t target) {
  fir_block_force_target(target);
  auto filter = channel_filter();
  auto work = std::make_unique<FirBlockWork>();
  std::vector<float> out_i(slot_pairs), out_q(slot_pairs);
  const std::vector<float>& iq = slot_iq();
  for (auto _ : state) {
    benchmark::DoNotOptimize(fir_push_block_iq(*filter, *work, iq.data(), slot_pairs, out_i.data(), out_q.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * slot_pairs);
  fir_block_force_target(0);
}

void liquid_firdecim(benchmark::State& state) {
  auto filter = channel_filter();
  // liquid convolves (coefficient 0 meets the newest sample); ours meets the oldest,
  // so hand it the coefficients reversed to compute the same filter.
  std::vector<float> h(static_cast<size_t>(filter->taps));
  for (int32_t j = 0; j < filter->taps; ++j) h[static_cast<size_t>(j)] = filter->coef_i[filter->taps - 1 - j];
  firdecim_crcf q = firdecim_crcf_create(static_cast<unsigned>(filter->decimation), h.data(),
                                         static_cast<unsigned>(h.size()));
  const unsigned outputs = slot_pairs / static_cast<unsigned>(filter->decimation);
  const std::vector<float>& iq = slot_iq();
  std::vector<std::complex<float>> x(slot_pairs);
  for (int n = 0; n < slot_pairs; ++n) x[static_cast<size_t>(n)] = {iq[2 * n], iq[2 * n + 1]};
  std::vector<std::complex<float>> y(outputs);
  for (auto _ : state) {
    firdecim_crcf_execute_block(q, x.data(), outputs, y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * outputs * static_cast<int64_t>(filter->decimation));
  firdecim_crcf_destroy(q);
}
BENCHMARK(liquid_firdecim)->Name("liquid_firdecim_crcf");

// Bytes in, PCM blocks out (to a sink that drops them): conversion, spectrum tap, filter,
// level control and packing, as the DSP thread runs them on each slot.
void dsp_path(benchmark::State& state) {
  RxState rx(rxiq24_variant);
  auto filter = channel_filter();
  auto dsp = std::make_unique<DspState>();
  auto spectrum = std::make_unique<SpectrumBuffer>();
  dsp_build_table(*dsp);
  const DspChain chain{rx, *filter, *dsp, *spectrum, BlockSink{nullptr, nullptr}};
  const std::vector<uint8_t>& bytes = slot_bytes();
  for (auto _ : state) {
    benchmark::DoNotOptimize(dsp_process_bytes(chain, bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  state.SetItemsProcessed(state.iterations() * slot_pairs);
}
BENCHMARK(dsp_path)->Name("dsp_path_bytes_to_pcm");

// One benchmark per SIMD path, named after it.
const int registered = [] {
  for (int64_t target : fir_block_targets()) {
    benchmark::RegisterBenchmark((std::string("fir_push_block/") + fir_block_target_name(target)).c_str(),
                                 fir_block_slot, target);
  }
  return 0;
}();

}  // namespace
