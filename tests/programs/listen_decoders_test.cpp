// The listening channel judged by the decoders people feed it: Debian's direwolf (its
// atest, which decodes a WAV file) and multimon-ng. Packets made here are FM-modulated at
// an offset with noise, written as the dongle's bytes, and put through rxiq-dsp
// --listen; the simulator's own beacon goes through the same pipe from rxiq-sim.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/rx_state.h"
#include "simulator/sim_dongle.h"
#include "tests/support/child_process.h"
#include "tests/support/packet_recording.h"
#include "tests/support/wav_file.h"

namespace {

const std::string rxiq_dsp = RXIQ_BINARY_DIR "/rxiq-dsp";
const std::string rxiq_sim = RXIQ_BINARY_DIR "/rxiq-sim";
const std::string work_root = RXIQ_BINARY_DIR "/tests/listen_decoders_test";
constexpr double audio_rate = 48000.0;

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
  std::string listen(const std::string& input, const std::string& choice, const std::string& name) {
    const std::string raw = work + "/" + name + ".s16";
    EXPECT_EQ(run_status(rxiq_dsp + " --listen " + choice + " < " + input + " > " + raw), 0);
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
    write_bytes(input, packet_recording(sent, run.snr_db, 23, packet_dongle_rate));
    const std::string text = decoded(listen(input, "fm@" + std::to_string(packet_station_offset), name));
    int got = 0;
    for (int n = 1; n <= sent; ++n) got += text.find(packet_text + (" " + std::to_string(n)) + "\n") != std::string::npos;
    std::printf("direwolf decoded %d of %d packets at %.0f dB carrier to noise\n", got, sent, run.snr_db);
    EXPECT_GE(got, run.at_least) << text.substr(0, 2000);
    EXPECT_EQ(count_matches(text, "N0CALL-7>APZRXQ,WIDE1-1:>" + std::string(packet_text) + " [0-9]+"), got)
        << "addresses and path intact";

    // multimon-ng reads 22,050 samples/s: sox resamples, as the README shows.
    const std::string multimon = find_program("multimon-ng"), sox = find_program("sox");
    if (multimon.empty() || sox.empty()) continue;
    const std::string raw = work + "/" + name + ".s16";
    const std::string mm = run_output(sox + " -t raw -r 48000 -e signed -b 16 -c 1 " + raw +
                                      " -t raw -r 22050 - | " + multimon + " -q -t raw -a AFSK1200 - 2>&1");
    const int multimon_got = count_matches(mm, std::string(packet_text) + " [0-9]+");
    std::printf("multimon-ng decoded %d of %d packets at %.0f dB carrier to noise\n", multimon_got, sent, run.snr_db);
    if (run.snr_db >= 15) {
      EXPECT_EQ(multimon_got, sent) << mm.substr(0, 2000);
    }
  }
}

TEST_F(ListenDecoders, TheSimulatorsBeaconIsDecodedFromRxiqSimThroughRxiqDsp) {
  // Twelve seconds hold the bursts that start at 1 s and 11 s.
  const std::string input = work + "/sim.u8";
  ASSERT_EQ(run_status(rxiq_sim + " -n " + std::to_string(12 * static_cast<int>(packet_dongle_rate)) + " " + input), 0);
  const int32_t offset = sim_beacon_frequency - initial_frequency;
  const std::string text = decoded(listen(input, "fm@" + std::to_string(offset), "sim"));
  EXPECT_EQ(count_matches(text, std::string("N0CALL-9>APZRXQ,WIDE1-1:") + "!5130\\.00N/00005\\.00W-rxiq simulated beacon"),
            2)
      << text.substr(0, 2000);
}

}  // namespace
