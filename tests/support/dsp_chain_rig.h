// A whole signal chain (state, filter, level control, spectrum) whose finished PCM
// blocks are collected in memory, for checks that feed it bytes in different ways.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/byte_feed.h"
#include "dsp/dsp_thread.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "variants/variant.h"

struct DspChainRig {
  DspChainRig() {
    fir_init_channel(*filter, rxiq12_variant);
    dsp_build_table(*dsp);
  }

  DspChain chain() {
    return DspChain{state, *filter, *dsp, *spectrum,
                    BlockSink{[](void* context, const void* data, int length) {
                                auto& out = *static_cast<std::vector<uint8_t>*>(context);
                                const auto* bytes = static_cast<const uint8_t*>(data);
                                out.insert(out.end(), bytes, bytes + length);
                                return 1;
                              },
                              &pcm}};
  }

  // True when both chains are in the same state: the same blocks out, the same partial
  // block, gain, spectrum capture and pending odd byte.
  bool same_as(const DspChainRig& o) const {
    const DspState& a = *dsp;
    const DspState& b = *o.dsp;
    return pcm == o.pcm && a.out_count == b.out_count &&
           std::memcmp(a.out_i, b.out_i, sizeof(float) * static_cast<size_t>(a.out_count)) == 0 &&
           std::memcmp(a.out_q, b.out_q, sizeof(float) * static_cast<size_t>(a.out_count)) == 0 &&
           std::memcmp(&a.Usilitel, &b.Usilitel, sizeof a.Usilitel) == 0 &&
           a.spectrum_pos == b.spectrum_pos && a.spectrum_skip == b.spectrum_skip &&
           std::memcmp(a.capture_re, b.capture_re, sizeof a.capture_re) == 0 &&
           std::memcmp(a.capture_im, b.capture_im, sizeof a.capture_im) == 0 &&
           feed.have_held == o.feed.have_held && (!feed.have_held || feed.held == o.feed.held);
  }

  RxState state{rxiq12_variant};
  std::unique_ptr<FirFilter> filter = std::make_unique<FirFilter>();
  std::unique_ptr<DspState> dsp = std::make_unique<DspState>();
  std::unique_ptr<SpectrumBuffer> spectrum = std::make_unique<SpectrumBuffer>();
  ByteFeed feed;
  std::vector<uint8_t> pcm;
};
