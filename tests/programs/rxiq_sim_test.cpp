// rxiq-sim as a capture tool, and the README's pipeline from it through rxiq-dsp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dsp/dsp_thread.h"
#include "tests/support/child_process.h"
#include "tests/support/tone.h"
#include "simulator/sim_dongle.h"

namespace {

const std::string sim_tool = RXIQ_BINARY_DIR "/rxiq-sim";
const std::string dsp_tool = RXIQ_BINARY_DIR "/rxiq-dsp";
const std::string work_root = RXIQ_BINARY_DIR "/tests/rxiq_sim_test";

// What the simulator's own read loop delivers when set up by hand as the receiver does.
std::vector<uint8_t> read_loop(uint32_t frequency, uint32_t rate, int samples) {
  SimDongle sim(sim_dongle_choice(), false);
  Dongle* dev = nullptr;
  EXPECT_EQ(sim.open(&dev, 0), 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, sim_r820t_gains.back());
  EXPECT_EQ(sim.set_center_freq(dev, frequency), 0);
  EXPECT_EQ(sim.set_sample_rate(dev, rate), 0);
  sim.set_freq_correction(dev, 48);
  std::vector<uint8_t> bytes(static_cast<size_t>(samples) * 2);
  for (size_t at = 0; at < bytes.size(); at += 65536) {
    const int length = static_cast<int>(std::min<size_t>(65536, bytes.size() - at));
    int n = 0;
    EXPECT_EQ(sim.read_sync(dev, bytes.data() + at, length, &n), 0);
  }
  return bytes;
}

std::string text_of(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class SimTool : public ::testing::Test {
 protected:
  // Each test has its own folder: ctest runs the tests of this file side by side.
  void SetUp() override {
    work = work_root + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(run_status("mkdir -p " + work), 0);
  }
  std::string work;
};

TEST_F(SimTool, CaptureToFileOrStandardOutputIsTheSimulatorsReadLoop) {
  // Not a whole number of reads, at the other variant's rate and another frequency.
  ASSERT_EQ(run_status(sim_tool + " -f 146000000 -s 2400000 -n 100001 " + work + "/file.u8"), 0);
  ASSERT_EQ(run_status(sim_tool + " -n 100001 -s 2400000 -f 146000000 - > " + work + "/stdout.u8"), 0);
  const std::vector<uint8_t> expected = read_loop(146000000, 2400000, 100001);
  EXPECT_TRUE(read_bytes(work + "/file.u8") == expected);
  EXPECT_TRUE(read_bytes(work + "/stdout.u8") == expected);

  // The defaults are the receiver's: 145,725,000 Hz at 1,200,000 samples/s.
  ASSERT_EQ(run_status(sim_tool + " -n 70000 " + work + "/default.u8"), 0);
  EXPECT_TRUE(read_bytes(work + "/default.u8") == read_loop(145725000, 1200000, 70000));
}

TEST_F(SimTool, ReadmePipelineGivesTheBasebandWithTheCarrierAtPlus10kHz) {
  const std::string capture = sim_tool + " -f 145725000 -s 1200000 -n 2400000";
  ASSERT_EQ(run_status("set -o pipefail; " + capture + " - | " + dsp_tool + " > " + work + "/baseband.s16"), 0);
  const std::vector<uint8_t> pcm = read_bytes(work + "/baseband.s16");
  // 2 s at 1.2 MHz is 96,000 frames at 48 kHz: 18 whole blocks, the partial one dropped.
  ASSERT_EQ(pcm.size(), 18u * block_bytes);

  // The same as rxiq-dsp on the captured file.
  ASSERT_EQ(run_status(capture + " " + work + "/capture.u8"), 0);
  ASSERT_EQ(run_status(dsp_tool + " < " + work + "/capture.u8 > " + work + "/from_file.s16"), 0);
  EXPECT_TRUE(read_bytes(work + "/from_file.s16") == pcm);

  std::vector<int16_t> last(static_cast<size_t>(block_frames) * 2);
  std::memcpy(last.data(), pcm.data() + pcm.size() - block_bytes, block_bytes);
  const double carrier = tone_amplitude(last, 10000, 48000);
  EXPECT_GT(carrier, 1000) << "a strong tone, not a trace";
  EXPECT_GT(carrier, 30 * tone_amplitude(last, -10000, 48000)) << "I leads Q";
  EXPECT_GT(carrier, 30 * tone_amplitude(last, 9850, 48000));
}

TEST_F(SimTool, EndlessCaptureEndsQuietlyWhenItsReaderGoesAway) {
  EXPECT_EQ(run_status("set -o pipefail; " + sim_tool + " - 2> " + work + "/err.txt | head -c 100000 > /dev/null"), 0);
  // The driver's one line at opening, as rtl_sdr shows it, and nothing more.
  EXPECT_EQ(text_of(read_bytes(work + "/err.txt")), "Found Rafael Micro R820T tuner\n");
}

TEST_F(SimTool, AnswersAndRefusals) {
  EXPECT_TRUE(run_output(sim_tool + " --version").starts_with("rxiq-sim "));
  EXPECT_TRUE(run_output(sim_tool + " -h").starts_with("usage: rxiq-sim"));
  const std::string err = work + "/err.txt";
  struct Refusal {
    std::string args;
    int status;
    std::string message;
  };
  for (const Refusal& r : std::vector<Refusal>{
           {"", 2, "rxiq-sim: no output file (- for standard output)\n"},
           {"-s 5 -", 2, "rxiq-sim: sample rate 5 is not accepted\n"},
           {"-f 1000 -", 2, "rxiq-sim: frequency 1000 is not accepted\n"},
           {"-n 12k -", 2, "rxiq-sim: invalid number '12k'\n"},
           {"-n -3 -", 2, "rxiq-sim: invalid number '-3'\n"},
           {"-f", 2, "rxiq-sim: missing value for '-f'\n"},
           {"-x -", 2, "rxiq-sim: unknown argument '-x'\n"},
           {"a.u8 b.u8", 2, "rxiq-sim: more than one output 'b.u8'\n"},
           {"-n 10 /nonexistent/x.u8", 1, "rxiq-sim: /nonexistent/x.u8: No such file or directory\n"},
           {"-n 100000 - > /dev/full", 1, "rxiq-sim: error writing standard output: No space left on device\n"},
       }) {
    EXPECT_EQ(run_status("cd " + work + " && " + sim_tool + " " + r.args + " 2> " + err), r.status) << r.args;
    EXPECT_NE(text_of(read_bytes(err)).find(r.message), std::string::npos) << r.args << ": " << text_of(read_bytes(err));
  }
}

}  // namespace
