// The listening channel judged by the decoders people feed it: Debian's direwolf (its
// atest, which decodes a WAV file) and multimon-ng. Packets made here are FM-modulated at
// an offset with noise, written as the dongle's bytes, and put through rxiq-dsp
// --listen; the simulator's own beacon goes through the same pipe from rxiq-sim.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "simulator/packet_beacon.h"
#include "core/rx_state.h"
#include "simulator/sim_dongle.h"
#include "tests/support/child_process.h"
#include "tests/support/wav_file.h"

namespace {

const std::string rxiq_dsp = RXIQ_BINARY_DIR "/rxiq-dsp";
const std::string rxiq_sim = RXIQ_BINARY_DIR "/rxiq-sim";
const std::string work_root = RXIQ_BINARY_DIR "/tests/listen_decoders_test";
constexpr double dongle_rate = 1200000.0;  // rxiq-dsp is rxiq12's chain
constexpr double audio_rate = 48000.0;
constexpr double packet_deviation = 3000.0;  // Hz, as APRS stations are set up
constexpr int32_t station_offset = -10000;
constexpr double channel_bandwidth = 16000.0;  // what the signal-to-noise ratios refer to
constexpr double carrier_bytes = 40.0;         // the station's amplitude in byte steps

struct Burst {
  AfskSignal signal;
  double start;  // seconds into the recording
};

// `count` packets, each its own transmission with its sequence number in the text,
// 0.4 s apart, as the dongle's bytes at `snr_db` carrier to noise in the channel.
std::vector<uint8_t> packet_recording(int count, double snr_db, unsigned seed) {
  std::vector<Burst> bursts;
  double at = 0.3;
  for (int n = 0; n < count; ++n) {
    const std::string info = ">rxiq listening test " + std::to_string(n + 1);
    const auto frame = ax25_ui_frame({"APZRXQ", 0}, {"N0CALL", 7}, {{"WIDE1", 1}}, info);
    bursts.push_back({AfskSignal(nrzi_tones(hdlc_bits({frame}, beacon_preamble_flags))), at});
    at += bursts.back().signal.duration() + 0.4;
  }
  const size_t samples = static_cast<size_t>(at * dongle_rate);
  // Noise over the whole band, so much of it in the channel as the ratio asks.
  const double channel_noise = carrier_bytes * carrier_bytes / std::pow(10.0, snr_db / 10);
  const double sigma = std::sqrt(channel_noise * dongle_rate / channel_bandwidth / 2);
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<uint8_t> bytes(2 * samples);
  std::vector<double> integrals;
  size_t next_burst = 0;
  for (size_t k = 0; k < samples;) {
    // Between bursts the transmitter is off: noise alone.
    const Burst* burst = next_burst < bursts.size() ? &bursts[next_burst] : nullptr;
    const size_t begin = burst ? static_cast<size_t>(burst->start * dongle_rate) : samples;
    for (; k < std::min(begin, samples); ++k) {
      bytes[2 * k] = static_cast<uint8_t>(std::clamp(std::lround(127.5 + noise(random)), 0L, 255L));
      bytes[2 * k + 1] = static_cast<uint8_t>(std::clamp(std::lround(127.5 + noise(random)), 0L, 255L));
    }
    if (!burst) break;
    const size_t length = static_cast<size_t>(burst->signal.duration() * dongle_rate);
    integrals.resize(length);
    burst->signal.integrals(dongle_rate, 0, integrals);
    for (size_t n = 0; n < length && k < samples; ++n, ++k) {
      const double phase = 2 * std::numbers::pi *
                           (station_offset * static_cast<double>(k) / dongle_rate + packet_deviation * integrals[n]);
      const double i = 127.5 + carrier_bytes * std::cos(phase) + noise(random);
      const double q = 127.5 + carrier_bytes * std::sin(phase) + noise(random);
      bytes[2 * k] = static_cast<uint8_t>(std::clamp(std::lround(i), 0L, 255L));
      bytes[2 * k + 1] = static_cast<uint8_t>(std::clamp(std::lround(q), 0L, 255L));
    }
    ++next_burst;
  }
  return bytes;
}

// 16-bit little-endian mono as floats in [-1, 1].
std::vector<float> mono_samples(const std::vector<uint8_t>& pcm) {
  std::vector<float> samples(pcm.size() / 2);
  for (size_t k = 0; k < samples.size(); ++k) {
    const auto value = static_cast<int16_t>(pcm[2 * k] | (pcm[2 * k + 1] << 8));
    samples[k] = static_cast<float>(value / 32767.0);
  }
  return samples;
}

int count_matches(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class ListenDecoders : public ::testing::Test {
 protected:
  void SetUp() override {
    work = work_root + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(run_status("mkdir -p " + work), 0);
    atest = find_program("atest");
    if (atest.empty()) GTEST_SKIP() << "direwolf's atest is not installed (scripts/install-deps installs it)";
  }

  // rxiq-dsp --listen on `input` (the dongle's bytes); the audio as a WAV for atest.
  std::string listen(const std::string& input, const std::string& spec, const std::string& name) {
    const std::string raw = work + "/" + name + ".s16";
    EXPECT_EQ(run_status(rxiq_dsp + " --listen " + spec + " < " + input + " > " + raw), 0);
    const std::vector<float> audio = mono_samples(read_bytes(raw));
    const std::string wav = work + "/" + name + ".wav";
    write_wav(wav, audio, static_cast<uint32_t>(audio_rate));
    return wav;
  }

  // The packets atest decodes from a WAV file, by their text.
  std::string decoded(const std::string& wav) { return run_output(atest + " -B 1200 " + wav + " 2>&1"); }

  std::string work;
  std::string atest;
};

TEST_F(ListenDecoders, PacketsAtAnOffsetInNoiseAreDecodedByDirewolfAndMultimonNg) {
  constexpr int sent = 20;
  struct Run {
    double snr_db;
    int at_least;
  };
  // Carrier to noise in the 16 kHz channel. Above 12 dB every packet must come through;
  // lower, most of them: FM's threshold lies near 10 dB.
  for (const Run run : {Run{30, sent}, Run{15, sent}, Run{10, sent * 3 / 4}}) {
    const std::string name = "snr" + std::to_string(static_cast<int>(run.snr_db));
    const std::string input = work + "/" + name + ".u8";
    write_bytes(input, packet_recording(sent, run.snr_db, 23));
    const std::string text = decoded(listen(input, "fm@" + std::to_string(station_offset), name));
    int got = 0;
    for (int n = 1; n <= sent; ++n) got += text.find("rxiq listening test " + std::to_string(n) + "\n") != std::string::npos;
    std::printf("direwolf decoded %d of %d packets at %.0f dB carrier to noise\n", got, sent, run.snr_db);
    EXPECT_GE(got, run.at_least) << text.substr(0, 2000);
    EXPECT_EQ(count_matches(text, "N0CALL-7>APZRXQ,WIDE1-1:>rxiq listening test [0-9]+"), got)
        << "addresses and path intact";

    // multimon-ng reads 22,050 samples/s: sox resamples, as the README shows.
    const std::string multimon = find_program("multimon-ng"), sox = find_program("sox");
    if (multimon.empty() || sox.empty()) continue;
    const std::string raw = work + "/" + name + ".s16";
    const std::string mm = run_output(sox + " -t raw -r 48000 -e signed -b 16 -c 1 " + raw +
                                      " -t raw -r 22050 - | " + multimon + " -q -t raw -a AFSK1200 - 2>&1");
    const int multimon_got = count_matches(mm, "rxiq listening test [0-9]+");
    std::printf("multimon-ng decoded %d of %d packets at %.0f dB carrier to noise\n", multimon_got, sent, run.snr_db);
    if (run.snr_db >= 15) {
      EXPECT_EQ(multimon_got, sent) << mm.substr(0, 2000);
    }
  }
}

TEST_F(ListenDecoders, TheSimulatorsBeaconIsDecodedFromRxiqSimThroughRxiqDsp) {
  // Twelve seconds hold the bursts that start at 1 s and 11 s.
  const std::string input = work + "/sim.u8";
  ASSERT_EQ(run_status(rxiq_sim + " -n " + std::to_string(12 * static_cast<int>(dongle_rate)) + " " + input), 0);
  const int32_t offset = sim_beacon_frequency - initial_frequency;
  const std::string text = decoded(listen(input, "fm@" + std::to_string(offset), "sim"));
  EXPECT_EQ(count_matches(text, std::string("N0CALL-9>APZRXQ,WIDE1-1:") + "!5130\\.00N/00005\\.00W-rxiq simulated beacon"),
            2)
      << text.substr(0, 2000);
}

}  // namespace
