#include "tuner/tuner_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/print_console.h"
#include "dsp/dsp_thread.h"
#include "tests/support/console_capture.h"
#include "tests/support/recording_sim.h"
#include "tests/support/text_search.h"
#include "tests/support/tone.h"
#include "simulator/sim_dongle.h"

namespace {

const std::string start_transcript =
    "Found 1 devices:\n"
    "\t0: rxiq, Simulated RTL2832U, SN: 00000001\n"
    "Using device 0: Simulated RTL2832U\n"
    "Supported gains are: 0.00 0.90 1.40 2.70 3.70 7.70 8.70 12.50 14.40 15.70 16.60 19.70"
    " 20.70 22.90 25.40 28.00 29.70 32.80 33.80 36.40 37.20 38.60 40.20 42.10 43.40 43.90"
    " 44.50 48.00 49.60\n"
    "\nSet gain to 1200000.00\n"
    "offset_tuning = 0\n"
    "Tuned to 145725000\n"
    "ppm = 48\n"
    "Type V for user interface\n";

const std::string spaces25(25, ' ');

// One tuner thread run on the test's own thread against the unpaced simulator. Reads are
// numbered from 1 (the discarded start-up read); read k + 1 is pass k of the loop.
// Actions registered for a read run while that read is in progress, as keys would.
struct Rig {
  const Variant& variant;
  RxState state;
  std::unique_ptr<RecordingSim> owned;
  RecordingSim& sim;
  std::unique_ptr<SampleRing> ring = std::make_unique<SampleRing>();
  std::unique_ptr<FirFilter> filter = std::make_unique<FirFilter>();
  ConsoleCapture console;
  std::map<int64_t, std::function<void()>> during;

  explicit Rig(const Variant& v = rxiq12_variant, DongleChoice choice = sim_dongle_choice())
      : Rig(v, std::make_unique<RecordingSim>(choice, false)) {}

  Rig(const Variant& v, std::unique_ptr<RecordingSim> dongle)
      : variant(v), state(v), owned(std::move(dongle)), sim(*owned) {
    print_console_set_charset("UTF-8");
    sim.on_read = [this](int64_t n) {
      auto action = during.find(n);
      if (action != during.end()) action->second();
      if (n > 1000) state.running.store(0);  // a runaway loop fails the test, never hangs it
    };
  }

  void stop_during(int64_t read) {
    during[read] = [this] { state.running.store(0); };
  }

  DongleOptions options;
  RetryDelays retry{std::chrono::milliseconds(1), std::chrono::milliseconds(1), std::chrono::milliseconds(4)};

  int run() {
    TunerLinks links{state, variant, sim, *ring};
    links.options = options;
    links.retry = retry;
    return tuner_thread(links);
  }

  int32_t blocks_stored() const { return ring->ring_write.load(); }

  // The device calls after start-up, from the first loop read on.
  std::vector<std::string> loop_calls() const {
    auto first = std::find(sim.calls.begin(), sim.calls.end(), "set_freq_correction 48");
    return {first == sim.calls.end() ? first : first + 1, sim.calls.end()};
  }

  bool called(const std::string& call) const {
    return std::find(sim.calls.begin(), sim.calls.end(), call) != sim.calls.end();
  }
};

// A tuner whose gain list is whatever the test gives (empty, failing, oversized).
struct OddGains : RecordingSim {
  int result;
  std::vector<int> list;
  const int32_t* state_gains = nullptr;
  bool overflowed = false;

  OddGains(int r, std::vector<int> l) : RecordingSim(sim_dongle_choice(), false), result(r), list(l) {}

  int get_tuner_gains(Dongle*, int* gains) override {
    if (gains) {
      if (gains == state_gains && list.size() > size_t{max_gains}) overflowed = true;
      std::copy(list.begin(), list.end(), gains);
    }
    return result;
  }
};

}  // namespace

TEST(TunerThread, DefaultRxiq12StartsInOrderAndSetsTheTopGainOnTheFirstPass) {
  Rig rig;
  rig.stop_during(2);
  EXPECT_EQ(rig.run(), 0);

  EXPECT_EQ(rig.console.text(), start_transcript + "Set gain \n49.60\n");
  const std::vector<std::string> calls = {
      "open 0",           "set_tuner_gain_mode 1",     "set_tuner_gain 12000000",
      "set_agc_mode 0",   "set_center_freq 145725000", "set_sample_rate 1200000",
      "reset_buffer",     "set_freq_correction 48",    "set_tuner_gain 496",
      "close"};
  EXPECT_EQ(rig.sim.calls, calls);
  EXPECT_EQ(rig.sim.reads, 2);
  EXPECT_EQ(rig.blocks_stored(), 1);
  EXPECT_EQ(rig.ring->ring_bytes[0].load(), 65536);
  EXPECT_EQ(rig.state.stream_stop.load(), 1);
  EXPECT_NE(rig.state.device.load(), nullptr);
  EXPECT_EQ(rig.state.gain_count.load(), 29);
  EXPECT_EQ(rig.state.gain_index.load(), 28);
  EXPECT_EQ(rig.state.gains[28], 496);
  EXPECT_EQ(rig.state.tuner_type.load(), 5) << "R820T, whose range the control port reports";
}

TEST(TunerThread, StartGainAndRateFollowTheVariant) {
  Rig r24(rxiq24_variant);
  r24.stop_during(2);
  r24.run();
  EXPECT_TRUE(r24.called("set_tuner_gain 24000000"));
  EXPECT_TRUE(r24.called("set_sample_rate 2400000"));
  // librtlsdr reports the gain asked for, however far beyond the tuner's steps.
  EXPECT_NE(r24.console.text().find("\nSet gain to 2400000.00\n"), std::string::npos);

  // rxiq24 knows no special gain values: -1 is just a gain of -1 dB.
  Rig r24_minus(rxiq24_variant);
  r24_minus.state.gain.store(-1);
  r24_minus.stop_during(2);
  r24_minus.run();
  EXPECT_TRUE(r24_minus.called("set_tuner_gain -10"));
  EXPECT_NE(r24_minus.console.text().find("\nSet gain to -1.00\n"), std::string::npos);

  Rig r24_rate(rxiq24_variant, sim_dongle_choice(SimFailure::fail_rate));
  r24_rate.run();
  EXPECT_TRUE(r24_rate.console.text().ends_with("Failed to sample rate 2400000"));

  Rig max(rxiq12_variant);
  max.state.gain.store(-1);
  max.stop_during(2);
  max.run();
  EXPECT_NE(max.console.text().find("\nSet max available gain 49.60\n"), std::string::npos);
  EXPECT_TRUE(max.called("set_tuner_gain 496"));

  // Automatic gain at start-up, yet the first pass still sets the top listed gain.
  Rig autogain(rxiq12_variant);
  autogain.state.gain.store(-2);
  autogain.stop_during(2);
  autogain.run();
  const std::string text = autogain.console.text();
  EXPECT_NE(text.find("\nSet autogain.\noffset_tuning = 0\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("Type V for user interface\nSet gain \n49.60\n"));
  EXPECT_TRUE(autogain.called("set_tuner_gain_mode 0"));
}

TEST(TunerThread, StartUpFailuresReportAndCloseOnlyWhatWasOpened) {
  Rig none(rxiq12_variant, sim_dongle_choice(SimFailure::no_device));
  EXPECT_EQ(none.run(), 0);
  EXPECT_EQ(none.console.text(), "No supported devices found\n");
  EXPECT_TRUE(none.sim.calls.empty());
  EXPECT_EQ(none.state.device.load(), nullptr);

  Rig no_open(rxiq12_variant, sim_dongle_choice(SimFailure::fail_open));
  no_open.run();
  EXPECT_TRUE(no_open.console.text().ends_with(
      "Using device 0: Simulated RTL2832U\nFailed to open device #0\n"));
  EXPECT_EQ(no_open.sim.calls, std::vector<std::string>{"open 0"}) << "nothing to close";
  EXPECT_EQ(no_open.state.device.load(), nullptr);

  Rig second(rxiq12_variant);
  second.state.dev_index.store(1);
  second.run();
  EXPECT_TRUE(second.console.text().ends_with("Using device 1: \nFailed to open device #1\n"));

  Rig no_freq(rxiq12_variant, sim_dongle_choice(SimFailure::fail_freq));
  no_freq.run();
  EXPECT_TRUE(no_freq.console.text().ends_with("offset_tuning = 0\nFailed to center freq. 145725000"));
  EXPECT_EQ(no_freq.sim.calls.back(), "close");
  EXPECT_NE(no_freq.state.device.load(), nullptr) << "the closed handle stays";

  Rig no_rate(rxiq12_variant, sim_dongle_choice(SimFailure::fail_rate));
  no_rate.run();
  EXPECT_TRUE(no_rate.console.text().ends_with("Tuned to 145725000\nFailed to sample rate 1200000"));
  EXPECT_EQ(no_rate.sim.calls.back(), "close");

  for (Rig* rig : {&none, &no_open, &second, &no_freq, &no_rate}) {
    EXPECT_EQ(rig->sim.reads, 0);
    EXPECT_EQ(rig->blocks_stored(), 0);
    EXPECT_EQ(rig->state.stream_stop.load(), 1) << "the reader is told no samples will come";
    EXPECT_EQ(rig->state.running.load(), 1) << "the rest of the receiver runs on";
  }
}

// Delivers a short read (its first 1,001 bytes) as read number `short_read`.
struct ShortReadSim : RecordingSim {
  using RecordingSim::RecordingSim;
  int64_t short_read = 0;
  int read_sync(Dongle* dev, void* buf, int len, int* n_read) override {
    const int result = RecordingSim::read_sync(dev, buf, len, n_read);
    if (reads == short_read && n_read) *n_read = 1001;
    return result;
  }
};

TEST(TunerThread, FailedReadsStoreNothingShortReadsTheirBytesAndAGoneDongleStopsReading) {
  // Single failures: reported without a newline, counted, and nothing enters the ring:
  // the buffer still holds the previous block, which is not new signal.
  Rig failing(rxiq12_variant, sim_dongle_choice(SimFailure::fail_read, 3));
  failing.stop_during(5);
  failing.run();
  EXPECT_TRUE(failing.console.text().ends_with(
      "Type V for user interface\nSet gain \n49.60\nsync_read failed.sync_read failed."
      "sync_read failed."));
  EXPECT_EQ(failing.blocks_stored(), 1);
  EXPECT_EQ(failing.state.failed_reads.load(), 3u);
  EXPECT_EQ(failing.state.stream_stop.load(), 1);
  EXPECT_EQ(failing.sim.calls.back(), "close");

  // A short read stores the bytes that came, and no more.
  auto short_sim = std::make_unique<ShortReadSim>(sim_dongle_choice(), false);
  short_sim->short_read = 3;
  Rig shorted(rxiq12_variant, std::move(short_sim));
  shorted.stop_during(4);
  shorted.run();
  ASSERT_EQ(shorted.blocks_stored(), 3);
  EXPECT_EQ(shorted.ring->ring_bytes[0].load(), read_block_bytes);
  EXPECT_EQ(shorted.ring->ring_bytes[1].load(), 1001);
  EXPECT_EQ(shorted.ring->ring_bytes[2].load(), read_block_bytes);
  EXPECT_EQ(shorted.state.failed_reads.load(), 0u);

  // An unplug without looking again: reported once, nothing more read or stored, the
  // dongle closed, and the receiver's running flag left for Esc.
  Rig unplugged(rxiq12_variant, sim_dongle_choice(SimFailure::unplug, 4));
  unplugged.options.reconnect = false;
  unplugged.run();
  std::string text = unplugged.console.text();
  EXPECT_TRUE(text.ends_with("Set gain \n49.60\n" + std::string(dongle_gone_text))) << text;
  EXPECT_EQ(count_of(text, "sync_read failed."), 0u);
  EXPECT_EQ(unplugged.sim.reads, 4);
  EXPECT_EQ(unplugged.blocks_stored(), 2);
  EXPECT_EQ(unplugged.state.stream_stop.load(), 1);
  EXPECT_EQ(unplugged.state.running.load(), 1);
  EXPECT_EQ(unplugged.sim.calls.back(), "close");

  // Reads that keep failing in some other way end the same way after a bounded run.
  Rig broken(rxiq12_variant, sim_dongle_choice(SimFailure::fail_read, 2));
  broken.options.reconnect = false;
  broken.run();
  text = broken.console.text();
  EXPECT_EQ(count_of(text, "sync_read failed."), size_t{gone_after_failed_reads - 1});
  EXPECT_EQ(count_of(text, dongle_gone_text), 1u);
  EXPECT_EQ(broken.sim.reads, 1 + gone_after_failed_reads);
  EXPECT_EQ(broken.blocks_stored(), 0);
  EXPECT_EQ(broken.state.running.load(), 1);
}

TEST(TunerThread, KeysAreAppliedOnTheNextPassWithTheirMessages) {
  Rig rig;
  RxState& s = rig.state;
  rig.during[3] = [&] { s.tuner_gain_mode.store(2); };                   // N
  rig.during[4] = [&] { s.agc_mode.store(1); };                          // M
  rig.during[5] = [&] { s.gain_index.store(27); };                       // End
  rig.during[6] = [&] { s.gain_index.store(28); };                       // Home
  rig.during[7] = [&] { s.agc_mode.store(0); };                          // M
  rig.during[8] = [&] {                                                  // Right x3
    for (int i = 0; i < 3; ++i) s.frequency.store(frequency_step(s.frequency.load(), 50));
  };
  rig.during[9] = [&] { s.tuner_gain_mode.store(0); s.tuner_gain_mode.store(1); };  // N, N
  rig.stop_during(10);
  rig.run();

  EXPECT_EQ(rig.console.text(), start_transcript + "Set gain \n49.60\n" +
                                    "\tuner_gain_mode = 2" + spaces25 + "\n" +
                                    "Set gain \n49.60\n" +
                                    "\noffset_tuning = 1" + spaces25 + "\n" +
                                    "Set gain \n48.00\n" +
                                    "Set gain \n49.60\n" +
                                    "\noffset_tuning = 0" + spaces25 + "\n" +
                                    "\tuner_gain_mode = 1" + spaces25 + "\n" +
                                    "Set gain \n49.60\n");
  // A manual mode is followed by the gain shown: the driver has just put it to 0 dB.
  const std::vector<std::string> calls = {
      "set_tuner_gain 496",  "set_tuner_gain_mode 2",     "set_tuner_gain 496",
      "set_agc_mode 1",      "set_tuner_gain 480",        "set_tuner_gain 496",
      "set_agc_mode 0",      "set_center_freq 145725150", "set_tuner_gain_mode 1",
      "set_tuner_gain 496",  "close"};
  EXPECT_EQ(rig.loop_calls(), calls);
  EXPECT_EQ(rig.blocks_stored(), 9);
}

TEST(TunerThread, FirstPassCapturesTheGainModeAndFailedRetunesAreNotRetried) {
  Rig rig;
  RxState& s = rig.state;
  rig.during[2] = [&] { s.tuner_gain_mode.store(2); };  // N during the first loop read
  rig.during[3] = [&] { s.frequency.store(2000000000); };  // above what the tuner takes
  rig.stop_during(5);
  rig.run();
  EXPECT_EQ(rig.console.text(), start_transcript + "Set gain \n49.60\n" +
                                    "\nFailed to center freq. 2000000000\n");
  EXPECT_EQ(rig.loop_calls(),
            (std::vector<std::string>{"set_tuner_gain 496", "set_center_freq 2000000000", "close"}));
}

TEST(TunerThread, GainListsThatAreEmptyFailedOrOversizedAreHandled) {
  for (int result : {0, -1}) {
    Rig rig(rxiq12_variant, std::make_unique<OddGains>(result, std::vector<int>{}));
    rig.state.gain.store(-1);  // maximum gain: nothing to choose from
    int32_t index_at_start = -9;
    rig.during[2] = [&] { index_at_start = rig.state.gain_index.load(); };
    rig.during[3] = [&] { rig.state.gain_index.store(5); };  // beyond the empty list
    rig.stop_during(4);
    rig.run();
    const std::string text = rig.console.text();
    EXPECT_NE(text.find("Supported gains are:\noffset_tuning = 0\n"), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "Set "), 0u) << text;
    EXPECT_EQ(rig.state.gain_count.load(), 0);
    EXPECT_EQ(index_at_start, 0);
    EXPECT_EQ(rig.blocks_stored(), 3);
    for (const std::string& call : rig.sim.calls) EXPECT_FALSE(call.starts_with("set_tuner_gain ")) << call;
  }

  std::vector<int> many(150);
  for (int i = 0; i < 150; ++i) many[i] = i * 3;
  auto oversized = std::make_unique<OddGains>(150, many);
  OddGains& odd = *oversized;
  Rig big(rxiq12_variant, std::move(oversized));
  odd.state_gains = big.state.gains;
  big.stop_during(2);
  big.run();
  EXPECT_FALSE(odd.overflowed) << "the tuner's list must never be read straight into gains";
  EXPECT_EQ(big.state.gain_count.load(), max_gains);
  EXPECT_EQ(big.state.gain_index.load(), max_gains - 1);
  EXPECT_EQ(big.state.gains[max_gains - 1], 297);
  EXPECT_TRUE(big.called("set_tuner_gain 297"));
  EXPECT_NE(big.console.text().find(" 29.40 29.70\n"), std::string::npos);
  EXPECT_EQ(big.console.text().find(" 30.00"), std::string::npos);

  Rig single(rxiq12_variant, std::make_unique<OddGains>(1, std::vector<int>{140}));
  single.stop_during(3);
  single.run();
  EXPECT_EQ(single.state.gain_index.load(), 0);
  EXPECT_TRUE(single.console.text().ends_with("Type V for user interface\n"))
      << "one listed gain: the first pass has nothing to change";
}

TEST(TunerThread, RunsOnItsOwnThreadWhileKeysChangeTheState) {
  Rig rig;
  std::promise<void> streaming;
  rig.during[3] = [&] { streaming.set_value(); };
  std::thread tuner([&] { rig.run(); });
  streaming.get_future().wait();
  // The key loop's side: requests written while the tuner reads and applies them.
  ASSERT_NE(rig.state.device.load(), nullptr);
  for (int i = 0; i < 3; ++i) {
    rig.state.frequency.store(frequency_step(rig.state.frequency.load(), 50));
  }
  rig.state.agc_mode.store(1);
  rig.state.running.store(0);
  tuner.join();
  EXPECT_EQ(rig.state.stream_stop.load(), 1);
  EXPECT_EQ(rig.sim.calls.back(), "close");
  EXPECT_GE(rig.blocks_stored(), 2);
}

namespace {

// Collects the PCM blocks the signal chain hands on.
int keep_block(void* context, const void* data, int length) {
  auto* blocks = static_cast<std::vector<std::vector<int16_t>>*>(context);
  const auto* samples = static_cast<const int16_t*>(data);
  blocks->emplace_back(samples, samples + length / 2);
  return length;
}

}  // namespace

TEST(TunerThread, BasebandThroughTheSignalChainHoldsTheCarrierAndFollowsARetune) {
  Rig rig;
  RxState& s = rig.state;
  rig.during[10] = [&] {  // three Rights during one read
    for (int i = 0; i < 3; ++i) s.frequency.store(frequency_step(s.frequency.load(), 50));
  };
  rig.stop_during(18);
  rig.run();
  ASSERT_EQ(rig.blocks_stored(), 17);

  // The DSP thread then drains what the tuner stored, and stops once the ring is empty.
  s.running.store(1);
  s.stream_stop.store(0);
  auto dsp = std::make_unique<DspState>();
  auto spectrum = std::make_unique<SpectrumBuffer>();
  std::vector<std::vector<int16_t>> blocks;
  auto stop_when_idle = [](void* state) { static_cast<RxState*>(state)->stream_stop.store(1); };
  fir_init_channel(*rig.filter, rig.variant);
  dsp_thread(DspLinks{s, *rig.ring, *rig.filter, *dsp, *spectrum, BlockSink{keep_block, &blocks},
                      stop_when_idle, &s});
  ASSERT_EQ(blocks.size(), 4u);

  // The first block is all from before the retune, the last all from after it.
  const double rate = rig.variant.frame_rate;
  const std::vector<int16_t>& before = blocks.front();
  EXPECT_GT(tone_amplitude(before, 10000, rate), 30 * tone_amplitude(before, -10000, rate))
      << "the carrier at +10 kHz, I leading Q";
  EXPECT_GT(tone_amplitude(before, 10000, rate), 30 * tone_amplitude(before, 9850, rate));
  const std::vector<int16_t>& after = blocks.back();
  EXPECT_GT(tone_amplitude(after, 9850, rate), 30 * tone_amplitude(after, 10000, rate));
  EXPECT_GT(tone_amplitude(after, 9850, rate), 30 * tone_amplitude(after, -9850, rate));
  EXPECT_GT(tone_amplitude(after, 9850, rate), 1000) << "a strong tone, not a trace";
}

TEST(TunerThread, AGoneDongleIsLookedForAndComesBackWithTheSettingsInForce) {
  DongleChoice choice = sim_dongle_choice(SimFailure::unplug, 4);
  choice.replug_look = 3;  // listed again at the third look
  Rig rig(rxiq12_variant, choice);
  RxState& s = rig.state;
  // While it is gone (the unplug is found at read 4), keys go on: a retune, a gain step
  // and the AGC, which must all be in force once it is back.
  rig.during[4] = [&] {
    s.frequency.store(145800000);
    s.gain_index.store(20);
    s.agc_mode.store(1);
  };
  rig.stop_during(9);
  rig.run();
  const std::string text = rig.console.text();
  EXPECT_TRUE(text.ends_with(std::string(dongle_gone_text) + "Dongle back: reading again at 145800000 Hz\n")) << text;
  const std::vector<std::string> after_back = {"open 0",  "set_tuner_gain_mode 1",     "set_tuner_gain 372",
                                               "set_agc_mode 1", "set_center_freq 145800000", "set_sample_rate 1200000",
                                               "reset_buffer",   "set_freq_correction 48"};
  const auto reopened = std::find(rig.sim.calls.begin() + 1, rig.sim.calls.end(), "open 0");
  ASSERT_NE(reopened, rig.sim.calls.end()) << "opened again";
  EXPECT_TRUE(std::equal(after_back.begin(), after_back.end(), reopened)) << "the settings in force, once each";
  EXPECT_EQ(rig.sim.calls.back(), "close");
  EXPECT_EQ(std::count(rig.sim.calls.begin(), rig.sim.calls.end(), "close"), 2) << "the lost handle closed too";
  EXPECT_EQ(rig.blocks_stored(), 2 + 4) << "reads 2 and 3 before, 6 to 9 after (5 is the discarded one)";

  // --no-reconnect: the design's end of reading, and a recording that ended never comes
  // back either way (tuner/file_dongle's own tests).
  Rig once(rxiq12_variant, choice);
  once.options.reconnect = false;
  once.run();
  EXPECT_TRUE(once.console.text().ends_with(dongle_gone_text));
  EXPECT_EQ(once.sim.reads, 4);
}
