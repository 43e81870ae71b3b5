// AX.25 framing and the AFSK modulator, judged by Debian's packet decoders (direwolf's
// atest, multimon-ng), and the simulator's beacon taken from the dongle's stream.
#include "simulator/packet_beacon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "simulator/sim_dongle.h"
#include "tests/support/child_process.h"
#include "tests/support/scene_steps.h"
#include "tests/support/text_search.h"
#include "tests/support/wav_file.h"

namespace {

const std::string work_root = RXIQ_BINARY_DIR "/tests/packet_beacon_test";
const std::string beacon_line = "N0CALL-9>APZRXQ,WIDE1-1:!5130.00N/00005.00W-rxiq simulated beacon\n";

std::vector<uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// A receiver's reading of the line: NRZI back to bits (the tone kept is a 1), then the
// frames between flags with the 0 after five 1s dropped, bytes least significant bit
// first.
std::vector<std::vector<uint8_t>> frames_from_tones(const std::vector<uint8_t>& tones) {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint8_t> data;  // bits since the last flag
  uint8_t previous = 1;
  int ones = 0;
  for (uint8_t tone : tones) {
    const uint8_t bit = tone == previous;
    previous = tone;
    if (bit) {
      ++ones;
      data.push_back(1);
      continue;
    }
    if (ones == 5) {  // stuffed
      ones = 0;
      continue;
    }
    if (ones == 6) {  // a flag's closing 0: its first seven bits are not data
      data.resize(data.size() >= 7 ? data.size() - 7 : 0);
      if (!data.empty()) {
        EXPECT_EQ(data.size() % 8, 0u) << "a frame of whole bytes";
        std::vector<uint8_t> frame(data.size() / 8);
        for (size_t k = 0; k < data.size(); ++k) frame[k / 8] |= static_cast<uint8_t>(data[k] << (k % 8));
        frames.push_back(frame);
      }
      data.clear();
      ones = 0;
      continue;
    }
    ones = 0;
    data.push_back(0);
  }
  return frames;
}

class Judges : public ::testing::Test {
 protected:
  // Each test has its own folder: ctest runs the tests of this file side by side.
  void SetUp() override {
    work = work_root + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(run_status("mkdir -p " + work), 0);
  }

  // atest's report on a WAV file: the packets it decoded, each as a line of text.
  static std::string atest(const std::string& wav) { return run_output("atest -B 1200 " + wav + " 2>&1"); }

  std::string work;
};

#define SKIP_WITHOUT(program) \
  if (find_program(program).empty()) GTEST_SKIP() << program << " is not installed"

}  // namespace

TEST(Ax25Frame, CheckSequenceAndLayoutOfTheBeaconsFrame) {
  // CRC-16/X.25's check value, and over a frame with its FCS the constant remainder that
  // a receiver tests for (which also shows the FCS is sent low byte first).
  EXPECT_EQ(ax25_fcs(bytes_of("123456789")), 0x906E);
  const std::vector<uint8_t> frame = beacon_frame();
  EXPECT_EQ(ax25_fcs(frame), 0x0F47);

  // Destination with the command bit, source, the last address marked, then UI and PID.
  const std::vector<uint8_t> head = {0x82, 0xA0, 0xB4, 0xA4, 0xB0, 0xA2, 0xE0,   // APZRXQ
                                     0x9C, 0x60, 0x86, 0x82, 0x98, 0x98, 0x72,   // N0CALL-9
                                     0xAE, 0x92, 0x88, 0x8A, 0x62, 0x40, 0x63,   // WIDE1-1
                                     0x03, 0xF0};
  const std::string info = beacon_info;
  ASSERT_EQ(frame.size(), head.size() + info.size() + 2);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), frame.begin()));
  EXPECT_EQ(std::string(frame.begin() + 23, frame.end() - 2), info);

  // Without a path the source is the last address.
  const std::vector<uint8_t> direct = ax25_ui_frame({"CQ", 0}, {"N0CALL", 15}, {}, "x");
  EXPECT_EQ(direct[6], 0xE0);
  EXPECT_EQ(direct[13], 0x7F);
  EXPECT_EQ(direct[2], ' ' << 1) << "short callsigns are padded with spaces";
}

TEST(Ax25Frame, LineBitsGiveTheFramesBack) {
  // Bytes full of 1s and flag patterns in the frame need the stuffed 0s.
  const std::vector<uint8_t> hard = ax25_ui_frame({"APZRXQ", 0}, {"N0CALL", 7}, {{"WIDE2", 2}, {"WIDE1", 1}},
                                                  "~~\xff\xff\x7f\xfe~ ends");
  const std::vector<std::vector<uint8_t>> frames = {beacon_frame(), hard};
  const std::vector<uint8_t> bits = hdlc_bits(frames, 3, 2);
  EXPECT_EQ(frames_from_tones(nrzi_tones(bits)), frames);
}

TEST(Afsk, ToneRunsOnWithoutJumpsAndItsIntegralIsTheAudios) {
  const AfskSignal signal = beacon_signal();
  for (double rate : {22050.0, 48000.0}) {
    const std::vector<float> audio = beacon_audio(rate);
    ASSERT_EQ(audio.size(), static_cast<size_t>(std::ceil(signal.duration() * rate)));
    // A sine of at most 2,200 Hz moves at most this far between samples; a phase jump
    // where the tone changes would move further.
    const double most = 2 * std::numbers::pi * afsk_space / rate * 1.0001;
    double steepest = 0;
    for (size_t n = 1; n < audio.size(); ++n) steepest = std::max<double>(steepest, std::fabs(audio[n] - audio[n - 1]));
    EXPECT_LE(steepest, most) << rate;
    EXPECT_GT(steepest, most * 0.9) << rate;
  }

  // The integral against a running sum of the audio at a dongle's rate, both as a closed
  // form and as the phasor-stepped run the simulator uses, from the start and from a
  // sample inside a bit.
  const double rate = 2400000;
  const auto samples = static_cast<size_t>(signal.duration() * rate);
  std::vector<double> run(samples);
  signal.integrals(rate, 0, run);
  std::vector<double> later(50000);
  const size_t from = 1000003;
  signal.integrals(rate, from, later);
  double sum = 0, worst_closed = 0, worst_run = 0, worst_later = 0, largest = 0;
  for (size_t n = 1; n < samples; ++n) {
    const double t = static_cast<double>(n) / rate;
    sum += (signal.audio(t - 1 / rate) + signal.audio(t)) / 2 / rate;
    largest = std::max(largest, std::fabs(sum));
    worst_closed = std::max(worst_closed, std::fabs(signal.integral(t) - sum));
    worst_run = std::max(worst_run, std::fabs(run[n] - sum));
    if (n >= from && n < from + later.size()) worst_later = std::max(worst_later, std::fabs(later[n - from] - sum));
  }
  EXPECT_GT(largest, 1e-4) << "the integral is not trivially small";
  EXPECT_LT(worst_closed, 1e-9);
  EXPECT_LT(worst_run, 1e-9);
  EXPECT_LT(worst_later, 1e-9);
}

TEST_F(Judges, AtestDecodesTheBeacon) {
  SKIP_WITHOUT("atest");
  // Half a second of silence either side, at 48,000 frames/s.
  std::vector<float> audio(24000, 0.0f);
  for (float s : beacon_audio(48000)) audio.push_back(0.5f * s);
  audio.resize(audio.size() + 24000, 0.0f);
  write_wav(work + "/beacon.wav", audio, 48000);
  const std::string report = atest(work + "/beacon.wav");
  EXPECT_EQ(count_of(report, beacon_line), 1u) << report;
  EXPECT_EQ(count_of(report, "1 packets decoded"), 1u) << report;
}

TEST_F(Judges, MultimonDecodesTheBeaconAtItsOwnRate) {
  SKIP_WITHOUT("multimon-ng");
  // Made at 22,050 frames/s, as bare 16-bit samples; -A prints the packet as atest does.
  std::vector<float> audio = beacon_audio(22050);
  for (float& s : audio) s *= 0.5f;
  write_bytes(work + "/beacon.raw", pcm16_bytes(audio));
  const std::string heard = run_output("multimon-ng -q -A -t raw -a AFSK1200 " + work + "/beacon.raw 2>&1");
  EXPECT_EQ(heard, "APRS: " + beacon_line);
}

TEST_F(Judges, FramesInWhiteNoiseDecodeAtGoodRatios) {
  SKIP_WITHOUT("atest");
  const bool multimon = !find_program("multimon-ng").empty() && !find_program("sox").empty();
  constexpr int frame_count = 10;
  constexpr double rate = 48000, level = 0.3;  // peak; the noise stays clear of full scale
  std::vector<std::string> infos;
  std::vector<float> clean(static_cast<size_t>(rate / 4), 0.0f);
  for (int f = 0; f < frame_count; ++f) {
    infos.push_back("!5130.00N/00005.00W-rxiq frame " + std::string(1, char('A' + f)));
    const std::vector<uint8_t> frame = ax25_ui_frame({beacon_destination, 0}, {beacon_source, beacon_source_ssid},
                                                     {{beacon_path, beacon_path_ssid}}, infos.back());
    for (float s : afsk_audio({frame}, rate, beacon_preamble_flags)) clean.push_back(static_cast<float>(level * s));
    clean.resize(clean.size() + static_cast<size_t>(rate / 4), 0.0f);
  }

  std::printf("audio SNR  atest  multimon-ng (of %d frames)\n", frame_count);
  for (double snr_db : {20.0, 10.0, 6.0, 3.0, 0.0, -3.0}) {
    // The ratio of the tone's power (level^2 / 2) to the noise's over the whole band,
    // 0 to 24 kHz.
    const double sigma = std::sqrt(level * level / 2 / std::pow(10.0, snr_db / 10));
    std::mt19937 generator(static_cast<unsigned>(100 + snr_db));
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<float> noisy = clean;
    for (float& s : noisy) s = static_cast<float>(s + noise(generator));
    const std::string wav = work + "/noisy_" + std::to_string(int(snr_db)) + "dB.wav";
    write_wav(wav, noisy, static_cast<uint32_t>(rate));

    const std::string report = atest(wav);
    int by_atest = 0, by_multimon = -1;
    for (const std::string& info : infos) by_atest += count_of(report, "WIDE1-1:" + info + "\n") == 1;
    if (multimon) {
      // The same recording brought to 22,050 frames/s by sox.
      const std::string heard =
          run_output("sox " + wav + " -t raw -r 22050 -e signed -b 16 -c 1 - | multimon-ng -q -A -t raw -a AFSK1200 - 2>&1");
      by_multimon = 0;
      for (const std::string& info : infos) by_multimon += count_of(heard, "WIDE1-1:" + info + "\n") == 1;
    }
    std::printf("%6.0f dB  %5d  %11d\n", snr_db, by_atest, by_multimon);
    if (snr_db >= 6) {
      EXPECT_EQ(by_atest, frame_count) << snr_db << " dB\n" << report;
      if (multimon) {
        EXPECT_EQ(by_multimon, frame_count) << snr_db << " dB";
      }
    }
  }
}

TEST_F(Judges, TheBeaconInTheDonglesStreamDecodes) {
  SKIP_WITHOUT("atest");
  // At 40.2 dB nothing clips, so the stream less its table is exactly the beacon.
  SimDongle sim(sim_dongle_choice(), false);
  Dongle* dev = nullptr;
  ASSERT_EQ(sim.open(&dev, 0), 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, 402);
  sim.set_center_freq(dev, 145725000);
  sim.set_sample_rate(dev, 1200000);
  sim.set_freq_correction(dev, sim_crystal_error_ppm);

  // Two seconds take in the first burst. A discriminator over runs of 25 samples gives
  // the transmitter's audio at 48,000 frames/s: the offset removed, full deviation at 0.5.
  std::vector<float> audio;
  const double offset = sim_beacon_frequency - 145725000.0;
  for (double hz : run_frequencies(as_iq(read_beyond_table(sim, dev, 2400000)), 1200000, 25)) {
    audio.push_back(hz == 0 ? 0.0f : static_cast<float>((hz - offset) / sim_beacon_deviation / 2));  // 0: silent
  }
  write_wav(work + "/stream.wav", audio, 48000);
  const std::string report = atest(work + "/stream.wav");
  EXPECT_EQ(count_of(report, beacon_line), 1u) << report;
}
