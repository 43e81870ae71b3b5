// The listening channel's demodulators on synthetic stations with known answers: the
// tone each should give, at the level it should give it, and what it must not let in.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "core/rx_state.h"
#include "dsp/listen_channel.h"
#include "tests/support/console_capture.h"
#include "tests/support/dsp_chain.h"

namespace {

using cd = std::complex<double>;
constexpr double two_pi = 2 * std::numbers::pi;
constexpr double full_scale = 32767.0;

struct ListenRig {
  ListenRig(const Variant& v, ListenMode mode, int32_t offset) : variant(v), state(v) {
    listen_set_rates(*channel, v.sample_rate, v.frame_rate);
    state.listen_mode.store(static_cast<int32_t>(mode));
    state.listen_offset.store(offset);
    listen_apply(*channel, state);
  }

  static int keep(void* context, const void* data, int length) {
    auto& self = *static_cast<ListenRig*>(context);
    const auto* frames = static_cast<const int16_t*>(data);
    for (int k = 0; k < length / 4; ++k) {
      self.audio.push_back(frames[2 * k]);
      if (frames[2 * k + 1] != frames[2 * k]) ++self.unequal_channels;
    }
    return length;
  }
  BlockSink sink() { return BlockSink{keep, this}; }

  // Feeds `seconds` of the signal `at(t)` (t in seconds) at the baseband's rate.
  template <typename Signal>
  void baseband(double seconds, Signal at) {
    const int rate = variant.frame_rate;
    const int total = static_cast<int>(seconds * rate);
    std::vector<float> i(listen_block_frames), q(listen_block_frames);
    for (int done = 0; done < total; done += listen_block_frames) {
      for (int k = 0; k < listen_block_frames; ++k) {
        const cd z = at(static_cast<double>(fed++) / rate);
        i[k] = static_cast<float>(z.real());
        q[k] = static_cast<float>(z.imag());
      }
      listen_apply(*channel, state);
      listen_feed_baseband(*channel, i.data(), q.data(), listen_block_frames, sink());
    }
  }

  // The same at the dongle's rate, for wide FM.
  template <typename Signal>
  void raw(double seconds, Signal at) {
    const int rate = variant.sample_rate;
    const int total = static_cast<int>(seconds * rate);
    std::vector<float> iq(2 * 32768);
    for (int done = 0; done < total; done += 32768) {
      for (int k = 0; k < 32768; ++k) {
        const cd z = at(static_cast<double>(fed++) / rate);
        iq[2 * k] = static_cast<float>(z.real());
        iq[2 * k + 1] = static_cast<float>(z.imag());
      }
      listen_apply(*channel, state);
      listen_feed_raw(*channel, iq.data(), 32768, sink());
    }
  }

  // Amplitude of a tone in the audio from `from` seconds on, as a share of full scale.
  double tone(double hz, double from = 0.3) const {
    const size_t start = static_cast<size_t>(from * variant.frame_rate);
    cd sum = 0;
    for (size_t n = start; n < audio.size(); ++n) {
      sum += static_cast<double>(audio[n]) * std::polar(1.0, -two_pi * hz * static_cast<double>(n) / variant.frame_rate);
    }
    return 2 * std::abs(sum) / static_cast<double>(audio.size() - start) / full_scale;
  }

  const Variant& variant;
  RxState state;
  std::unique_ptr<ListenChannel> channel = std::make_unique<ListenChannel>();
  std::vector<int16_t> audio;
  int unequal_channels = 0;
  int64_t fed = 0;
};

// A carrier at `hz` frequency-modulated by a tone.
auto fm_station(double hz, double amplitude, double tone, double deviation) {
  return [=](double t) {
    return std::polar(amplitude, two_pi * hz * t - deviation / tone * std::cos(two_pi * tone * t));
  };
}

TEST(ListenChannel, NarrowFmGivesItsToneAtTheLevelOfItsDeviationAndKeepsOutTheNextChannel) {
  ListenRig rig(rxiq12_variant, ListenMode::fm, -10000);
  rig.baseband(1.0, fm_station(-10000, 0.2, 1000, 3000));
  ASSERT_EQ(static_cast<int64_t>(rig.audio.size()), rig.fed);  // one audio sample per baseband output
  EXPECT_EQ(rig.unequal_channels, 0);
  // 5 kHz of deviation is half of full scale.
  EXPECT_NEAR(rig.tone(1000), 0.5 * 3000 / 5000, 0.01);

  // A weak unmodulated carrier in the channel, and 20 dB stronger station 25 kHz above
  // it with its own tone: FM's capture leaves only the wanted (silent) carrier.
  ListenRig next(rxiq12_variant, ListenMode::fm, -10000);
  const auto strong = fm_station(15000, 0.5, 1500, 5000);
  next.baseband(1.0, [&](double t) { return std::polar(0.05, two_pi * -10000 * t) + strong(t); });
  EXPECT_LT(next.tone(1500), 0.005);

  // Voice de-emphasis (750 us) takes a 1 kHz tone down to a fifth: 1 / |1 + j w tau|.
  ListenRig voice(rxiq24_variant, ListenMode::fm, 20000);
  voice.state.fm_deemphasis_us.store(fm_deemphasis_voice_us);
  voice.baseband(1.0, fm_station(20000, 0.2, 1000, 3000));
  const double expected = 0.3 / std::hypot(1.0, two_pi * 1000 * 750e-6);
  EXPECT_NEAR(voice.tone(1000), expected, expected * 0.05);
}

TEST(ListenChannel, AmGivesItsDepthWhateverTheCarriersStrengthAndKeepsOutTheNextChannel) {
  for (const double carrier : {0.01, 0.3}) {
    ListenRig rig(rxiq24_variant, ListenMode::am, -30000);
    rig.baseband(1.0, [&](double t) {
      return std::polar(carrier * (1 + 0.5 * std::cos(two_pi * 800 * t)), two_pi * -30000 * t);
    });
    // 100 % modulation is half of full scale; 50 % a quarter.
    EXPECT_NEAR(rig.tone(800), 0.25, 0.0125) << "carrier " << carrier;
  }
  ListenRig next(rxiq24_variant, ListenMode::am, 0);
  next.baseband(1.0, [&](double t) {
    return std::polar(0.1 * (1 + 0.5 * std::cos(two_pi * 800 * t)), 0.0) +
           std::polar(0.1 * (1 + 0.5 * std::cos(two_pi * 1200 * t)), two_pi * 25000 * t);
  });
  EXPECT_NEAR(next.tone(800), 0.25, 0.0125);
  EXPECT_LT(next.tone(1200), 0.0025);
}

TEST(ListenChannel, ACarrierAboveTheDialIsAToneInUsbAndNothingInLsb) {
  for (const Variant* variant : {&rxiq12_variant, &rxiq24_variant}) {
    const int32_t dial = 5000;
    auto carrier = [&](double t) { return std::polar(0.01, two_pi * (dial + 1000) * t); };
    ListenRig usb(*variant, ListenMode::usb, dial);
    usb.baseband(1.5, carrier);
    // The level control brings it to half of full scale.
    EXPECT_NEAR(usb.tone(1000, 0.5), 0.5, 0.03) << variant->program_name;
    ListenRig lsb(*variant, ListenMode::lsb, dial);
    lsb.baseband(1.5, carrier);
    EXPECT_LT(lsb.tone(1000, 0.5), 0.5 * 0.01) << variant->program_name;  // 40 dB down
    // And the mirror: a carrier below the dial is a tone in LSB.
    ListenRig below(*variant, ListenMode::lsb, dial);
    below.baseband(1.5, [&](double t) { return std::polar(0.01, two_pi * (dial - 2000) * t); });
    EXPECT_NEAR(below.tone(2000, 0.5), 0.5, 0.03) << variant->program_name;
  }
}

TEST(ListenChannel, WideFmFromTheDonglesStreamGivesItsToneDeEmphasised) {
  for (const Variant* variant : {&rxiq12_variant, &rxiq24_variant}) {
    for (const int32_t tau : {0, wfm_deemphasis_default_us, wfm_deemphasis_americas_us}) {
      ListenRig rig(*variant, ListenMode::wfm, -300000);
      rig.state.wfm_deemphasis_us.store(tau);
      rig.raw(0.8, fm_station(-300000, 0.3, 1000, 75000));
      const double expected = 0.5 / std::hypot(1.0, two_pi * 1000 * tau * 1e-6);
      EXPECT_NEAR(rig.tone(1000), expected, expected * 0.03) << variant->program_name << " " << tau << " us";
    }
  }
}

TEST(ListenChannel, SquelchOpensAtItsLevelClosesThreeDbBelowAndWritesZerosWhenClosed) {
  ListenRig rig(rxiq12_variant, ListenMode::fm, 0);
  rig.state.squelch.store(-400);  // -40 dBFS
  // Steps of carrier power in dBFS, half a second each; the squelch's state after each.
  const double steps[] = {-30, -41, -44, -40.5, -39};
  const bool open_after[] = {true, true, false, false, true};
  for (int s = 0; s < 5; ++s) {
    const double amplitude = std::pow(10.0, steps[s] / 20);
    const size_t before = rig.audio.size();
    rig.baseband(0.5, fm_station(0, amplitude, 1000, 3000));
    EXPECT_EQ(rig.channel->squelch_open.load() != 0, open_after[s]) << steps[s] << " dBFS";
    EXPECT_NEAR(rig.channel->level_dbfs.load(), steps[s], 0.5);
    if (!open_after[s] && !open_after[s - 1]) {
      // A whole closed step: silence, sample for sample, not missing audio.
      for (size_t n = before; n < rig.audio.size(); ++n) ASSERT_EQ(rig.audio[n], 0) << n - before;
      EXPECT_GE(rig.audio.size() - before, 20000u);
    }
  }
}

// The listening channel reads the baseband; it must not change a bit of it.
TEST(ListenChannel, TheBasebandIsTheSameWithAndWithoutAListeningChannel) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(2 * 400000);
  for (size_t k = 0; k < bytes.size(); k += 2) {
    const double phase = two_pi * 3000.0 * static_cast<double>(k / 2) / 1200000.0;
    bytes[k] = static_cast<uint8_t>(127.5 + 60 * std::cos(phase) + (random() % 9) - 4.0);
    bytes[k + 1] = static_cast<uint8_t>(127.5 + 60 * std::sin(phase) + (random() % 9) - 4.0);
  }
  for (const ListenMode mode : {ListenMode::fm, ListenMode::wfm}) {
    ChainRig plain, listening;
    std::vector<int16_t> audio;
    listening.state.listen_mode.store(static_cast<int32_t>(mode));
    listen_set_rates(listening.dsp->listen, rxiq12_variant.sample_rate, rxiq12_variant.frame_rate);
    dsp_process_bytes(plain.chain(), bytes.data(), static_cast<int32_t>(bytes.size()));
    DspChain chain = listening.chain();
    chain.listen_sink = BlockSink{[](void* a, const void* data, int length) {
                                    auto& out = *static_cast<std::vector<int16_t>*>(a);
                                    const auto* s = static_cast<const int16_t*>(data);
                                    out.insert(out.end(), s, s + length / 2);
                                    return length;
                                  },
                                  &audio};
    // The level line (PgUp) tells the channel's level once it has one.
    listening.state.spectrum_debug.store(1);
    ConsoleCapture console;
    dsp_process_bytes(chain, bytes.data(), static_cast<int32_t>(bytes.size()));
    const std::string label = std::string("   ") + listen_mode_label(mode) + " ";
    EXPECT_TRUE(console.text().starts_with("Delitel = 128   Usilitel = 430000" + label + "no level, squelch off, open\n"))
        << console.text();
    EXPECT_NE(console.text().find(" dBFS, squelch off, open\n"), std::string::npos) << console.text();
    EXPECT_EQ(listening.pcm_bytes(), plain.pcm_bytes()) << listen_mode_name(mode);
    EXPECT_EQ(audio.size(), plain.blocks.size() * 2 * listen_block_frames) << listen_mode_name(mode);
  }
}

}  // namespace
