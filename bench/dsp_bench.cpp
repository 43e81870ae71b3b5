// Throughput of the signal chain, in input samples (complex pairs) per second.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "dsp/dsp_thread.h"
#include "dsp/fft.h"
#include "dsp/fir_filter.h"
#include "sample_ring/sample_ring.h"

namespace {

std::vector<uint8_t> random_bytes(size_t count) {
  std::mt19937 rng(65536);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
  return bytes;
}

int discard(void*, const void*, int) { return 1; }

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// CPU seconds per input sample of rxiq-dsp's path, once BM_DspPathBytes has run: the
// yardstick for the DSP thread's whole path below.
double tool_seconds_per_sample = 0.0;

void BM_FirPush(benchmark::State& state) {
  auto filter = std::make_unique<FirFilter>();
  fir_init_channel(*filter, rxiq12_variant);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> iq(2 * 32768);
  for (auto& v : iq) v = unit(rng);
  float out[2];
  for (auto _ : state) {
    for (size_t n = 0; n < iq.size(); n += 2) benchmark::DoNotOptimize(fir_push(*filter, iq[n], iq[n + 1], out));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(iq.size() / 2));
}
BENCHMARK(BM_FirPush);

void BM_Fft1024(benchmark::State& state) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> re0(spectrum_size), im0(spectrum_size);
  for (int k = 0; k < spectrum_size; ++k) {
    re0[k] = unit(rng);
    im0[k] = unit(rng);
  }
  std::vector<float> re(spectrum_size), im(spectrum_size);
  for (auto _ : state) {
    re = re0;
    im = im0;
    fft_radix2(re.data(), im.data(), spectrum_log2_size);
    benchmark::DoNotOptimize(re.data());
  }
  state.SetItemsProcessed(state.iterations() * spectrum_size);
}
BENCHMARK(BM_Fft1024);

struct Chain {
  Chain() {
    fir_init_channel(*filter, rxiq12_variant);
    dsp_build_table(*dsp);
  }
  RxState state{rxiq12_variant};
  std::unique_ptr<FirFilter> filter = std::make_unique<FirFilter>();
  std::unique_ptr<DspState> dsp = std::make_unique<DspState>();
  std::unique_ptr<SpectrumBuffer> spectrum = std::make_unique<SpectrumBuffer>();
};

// Raw bytes to packed PCM blocks: conversion, spectrum tap, filter, level control. This
// is rxiq-dsp's path.
void BM_DspPathBytes(benchmark::State& state) {
  Chain c;
  const DspChain chain{c.state, *c.filter, *c.dsp, *c.spectrum, BlockSink{discard, nullptr}};
  const std::vector<uint8_t> bytes = random_bytes(ring_slot_bytes);
  const double start = thread_cpu_seconds();
  for (auto _ : state) dsp_process_bytes(chain, bytes.data(), ring_slot_bytes);
  const double samples = static_cast<double>(state.iterations()) * ring_slot_pairs;
  tool_seconds_per_sample = (thread_cpu_seconds() - start) / samples;
  state.SetItemsProcessed(state.iterations() * ring_slot_pairs);
}
BENCHMARK(BM_DspPathBytes);

// The same path through the ring: one store and one consumed slot per iteration.
void BM_DspPathRing(benchmark::State& state) {
  Chain c;
  auto ring = std::make_unique<SampleRing>();
  const DspLinks links{c.state, *ring, *c.filter, *c.dsp, *c.spectrum, BlockSink{discard, nullptr}};
  const std::vector<uint8_t> bytes = random_bytes(ring_slot_bytes);
  for (auto _ : state) {
    ring_store(*ring, bytes.data());
    dsp_consume_slot(links);
    ring->ring_read.store(ring_next(ring->ring_read.load()));
  }
  state.SetItemsProcessed(state.iterations() * ring_slot_pairs);
}
BENCHMARK(BM_DspPathRing);

// The DSP thread's whole path: dsp_thread itself drains a ring filled with 99 slots (as
// many as it can tell from empty) and leaves when it finds the ring empty. Filling is
// not timed. "per_sample_vs_rxiq_dsp" is its CPU time per input sample over that of
// BM_DspPathBytes in the same run.
void BM_DspThreadFilledRing(benchmark::State& state) {
  constexpr int filled_slots = ring_slots - 1;
  Chain c;
  auto ring = std::make_unique<SampleRing>();
  DspLinks links{c.state, *ring, *c.filter, *c.dsp, *c.spectrum, BlockSink{discard, nullptr}};
  links.idle = [](void* s) { static_cast<RxState*>(s)->stream_stop.store(1); };
  links.idle_context = &c.state;
  const std::vector<uint8_t> bytes = random_bytes(ring_slot_bytes);
  double timed = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int s = 0; s < filled_slots; ++s) ring_store(*ring, bytes.data());
    c.state.stream_stop.store(0);
    state.ResumeTiming();
    const double start = thread_cpu_seconds();
    dsp_thread(links);
    timed += thread_cpu_seconds() - start;
  }
  const double samples = static_cast<double>(state.iterations()) * filled_slots * ring_slot_pairs;
  state.SetItemsProcessed(state.iterations() * filled_slots * int64_t{ring_slot_pairs});
  if (tool_seconds_per_sample > 0.0 && samples > 0.0) {
    state.counters["per_sample_vs_rxiq_dsp"] = timed / samples / tool_seconds_per_sample;
  }
}
BENCHMARK(BM_DspThreadFilledRing)->Unit(benchmark::kMillisecond);

// The listening channel alone in rxiq24, one mode per run, fed a second of signal per
// iteration (noise with a station in it): "percent_of_core" is what it adds to the DSP
// thread, as a share of one core.
void BM_ListenChannel(benchmark::State& state) {
  const Variant& variant = rxiq24_variant;
  const auto mode = static_cast<ListenMode>(state.range(0));
  RxState rx(variant);
  rx.listen_mode.store(static_cast<int32_t>(mode));
  rx.listen_offset.store(mode == ListenMode::wfm ? 300000 : -10000);
  auto channel = std::make_unique<ListenChannel>();
  listen_set_rates(*channel, variant.sample_rate, variant.frame_rate);
  listen_apply(*channel, rx);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> unit(-0.3f, 0.3f);
  const bool wide = mode == ListenMode::wfm;
  std::vector<float> iq(2 * static_cast<size_t>(wide ? ring_slot_pairs : block_frames));
  for (auto& v : iq) v = unit(rng);
  std::vector<float> out_i(block_frames), out_q(block_frames);
  for (int k = 0; k < block_frames; ++k) {
    out_i[k] = iq[2 * k];
    out_q[k] = iq[2 * k + 1];
  }
  const int32_t per_second = wide ? variant.sample_rate / ring_slot_pairs : variant.frame_rate / block_frames;
  const BlockSink sink{discard, nullptr};
  const double start = thread_cpu_seconds();
  for (auto _ : state) {
    for (int32_t n = 0; n < per_second; ++n) {
      if (wide) {
        listen_feed_raw(*channel, iq.data(), ring_slot_pairs, sink);
      } else {
        listen_feed_baseband(*channel, out_i.data(), out_q.data(), block_frames, sink);
      }
    }
  }
  const double seconds = thread_cpu_seconds() - start;
  state.counters["percent_of_core"] = 100.0 * seconds / static_cast<double>(state.iterations());
  state.SetLabel(listen_mode_name(mode));
}
BENCHMARK(BM_ListenChannel)
    ->Arg(static_cast<int>(ListenMode::fm))
    ->Arg(static_cast<int>(ListenMode::wfm))
    ->Arg(static_cast<int>(ListenMode::am))
    ->Arg(static_cast<int>(ListenMode::usb))
    ->Arg(static_cast<int>(ListenMode::lsb))
    ->Unit(benchmark::kMillisecond);

}  // namespace
