// The receiver's signal chain set up for a test: the variant's channel filter, the byte
// table, a spectrum buffer, a byte feed and a sink that keeps every finished PCM block
// (and can stop the chain after a chosen one, as a failing sink does).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/rx_state.h"
#include "dsp/byte_feed.h"
#include "dsp/dsp_thread.h"
#include "dsp/fft_snapshot.h"
#include "dsp/fir_filter.h"
#include "variants/variant.h"

struct ChainRig {
  explicit ChainRig(const Variant& variant = rxiq12_variant) : state(variant) {
    fir_init_channel(*filter, variant);
    dsp_build_table(*dsp);
  }
  ChainRig(const ChainRig&) = delete;
  ChainRig& operator=(const ChainRig&) = delete;

  static int record(void* context, const void* data, int length) {
    auto& self = *static_cast<ChainRig*>(context);
    const auto* samples = static_cast<const int16_t*>(data);
    self.blocks.emplace_back(samples, samples + length / 2);
    if (self.blocks.size() == self.stop_after_block) self.state.running.store(0);
    return 1;
  }
  DspChain chain() { return DspChain{state, *filter, *dsp, *spectrum, BlockSink{record, this}}; }

  // Every block so far as the bytes a sink was handed.
  std::vector<uint8_t> pcm_bytes() const {
    std::vector<uint8_t> bytes;
    for (const std::vector<int16_t>& block : blocks) {
      const size_t at = bytes.size();
      bytes.resize(at + block.size() * sizeof(int16_t));
      std::memcpy(bytes.data() + at, block.data(), block.size() * sizeof(int16_t));
    }
    return bytes;
  }

  // True when both chains are in the same state: the same blocks out, the same partial
  // block, gain, spectrum capture and pending odd byte.
  bool same_as(const ChainRig& o) const {
    const DspState& a = *dsp;
    const DspState& b = *o.dsp;
    return blocks == o.blocks && a.out_count == b.out_count &&
           std::memcmp(a.out_i, b.out_i, sizeof(float) * static_cast<size_t>(a.out_count)) == 0 &&
           std::memcmp(a.out_q, b.out_q, sizeof(float) * static_cast<size_t>(a.out_count)) == 0 &&
           std::memcmp(&a.Usilitel, &b.Usilitel, sizeof a.Usilitel) == 0 &&
           a.spectrum_pos == b.spectrum_pos && a.spectrum_skip == b.spectrum_skip &&
           std::memcmp(a.capture_re, b.capture_re, sizeof a.capture_re) == 0 &&
           std::memcmp(a.capture_im, b.capture_im, sizeof a.capture_im) == 0 &&
           feed.have_held == o.feed.have_held && (!feed.have_held || feed.held == o.feed.held);
  }

  RxState state;
  std::unique_ptr<FirFilter> filter = std::make_unique<FirFilter>();
  std::unique_ptr<DspState> dsp = std::make_unique<DspState>();
  std::unique_ptr<SpectrumBuffer> spectrum = std::make_unique<SpectrumBuffer>();
  ByteFeed feed;
  std::vector<std::vector<int16_t>> blocks;
  size_t stop_after_block = 0;  // 0: never stop
};
