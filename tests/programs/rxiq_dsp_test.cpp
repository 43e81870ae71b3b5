#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "dsp/dsp_thread.h"
#include "tests/support/child_process.h"
#include "tests/support/dsp_chain.h"
#include "core/rx_state.h"
#include "simulator/sim_dongle.h"

namespace {

const std::string tool = RXIQ_BINARY_DIR "/rxiq-dsp";
const std::string work_root = RXIQ_BINARY_DIR "/tests/rxiq_dsp_test";
constexpr int samples_per_block = block_frames * 25;

// Raw dongle bytes of a tone `offset` Hz from the centre at 1,200,000 samples/s.
std::vector<uint8_t> tone(double offset, int samples, bool odd_byte) {
  std::vector<uint8_t> bytes;
  for (int t = 0; t < samples; ++t) {
    const double phase = 2.0 * M_PI * offset * t / 1200000.0;
    bytes.push_back(static_cast<uint8_t>(127 + std::lround(90.0 * std::cos(phase))));
    bytes.push_back(static_cast<uint8_t>(127 + std::lround(90.0 * std::sin(phase))));
  }
  if (odd_byte) bytes.push_back(200);
  return bytes;
}

// What the receiver's chain makes of the same bytes, in this process.
std::vector<uint8_t> chain_output(const std::vector<uint8_t>& bytes) {
  ChainRig rig;
  dsp_process_bytes(rig.chain(), bytes.data(), static_cast<int32_t>(bytes.size()));
  return rig.pcm_bytes();
}

// Mean rotation per output frame of the I/Q tone in one block, in Hz at 48,000 frames/s.
double tone_offset(const std::vector<uint8_t>& pcm, int block) {
  const auto* s = reinterpret_cast<const int16_t*>(pcm.data()) + static_cast<size_t>(block) * block_frames * 2;
  double sum = 0.0;
  for (int k = 0; k + 1 < block_frames; ++k) {
    const std::complex<double> a(s[2 * k], s[2 * k + 1]), b(s[2 * k + 2], s[2 * k + 3]);
    sum += std::arg(b * std::conj(a));
  }
  return sum / (block_frames - 1) * 48000.0 / (2.0 * M_PI);
}

class RxiqDspTool : public ::testing::Test {
 protected:
  // Each test has its own folder: ctest runs the tests of this file side by side.
  void SetUp() override {
    work = work_root + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(run_status("mkdir -p " + work), 0);
  }
  std::string work;
};

TEST_F(RxiqDspTool, ToneKeepsItsOffsetAndSign) {
  for (double offset : {5000.0, -7000.0}) {
    // Six whole blocks, then a partial block and an odd byte, both dropped.
    const std::vector<uint8_t> input = tone(offset, 6 * samples_per_block + 1000, true);
    write_bytes(work + "/in.u8", input);
    ASSERT_EQ(run_status(tool + " < " + work + "/in.u8 > " + work + "/out.s16 2> " + work + "/err.txt"), 0);
    const std::vector<uint8_t> output = read_bytes(work + "/out.s16");
    ASSERT_EQ(output.size(), 6u * block_bytes);
    EXPECT_TRUE(read_bytes(work + "/err.txt").empty());
    EXPECT_TRUE(output == chain_output(input)) << "the tool must match the receiver's chain byte for byte";
    // Positive offset: I leads Q, the I/Q phasor turns counter-clockwise.
    EXPECT_NEAR(tone_offset(output, 5), offset, 20.0);
  }
}

TEST_F(RxiqDspTool, UsageAndOutputErrors) {
  ASSERT_EQ(run_status(tool + " -h > " + work + "/usage.txt"), 0);
  const std::vector<uint8_t> usage = read_bytes(work + "/usage.txt");
  EXPECT_EQ(std::string(usage.begin(), usage.end()).rfind("usage: rxiq-dsp", 0), 0u);
  EXPECT_TRUE(run_output(tool + " --version").starts_with("rxiq-dsp "));
  EXPECT_NE(run_status(tool + " --bogus < /dev/null > /dev/null 2>&1"), 0);

  write_bytes(work + "/big.u8", tone(1000.0, 8 * samples_per_block, false));
  // A reader that goes away early ends the tool quietly and successfully.
  EXPECT_EQ(run_status("set -o pipefail; " + tool + " < " + work + "/big.u8 2> " + work + "/err.txt | head -c 10 > /dev/null"), 0);
  EXPECT_TRUE(read_bytes(work + "/err.txt").empty());
  // Any other write failure is reported and fails.
  EXPECT_NE(run_status(tool + " < " + work + "/big.u8 > /dev/full 2> " + work + "/err.txt"), 0);
  const std::vector<uint8_t> err = read_bytes(work + "/err.txt");
  EXPECT_NE(std::string(err.begin(), err.end()).find("rxiq-dsp: error writing standard output"), std::string::npos);
  // The usage is no exception.
  EXPECT_EQ(run_status(tool + " -h > /dev/full 2> " + work + "/err.txt"), 1);
  const std::vector<uint8_t> usage_err = read_bytes(work + "/err.txt");
  EXPECT_EQ(std::string(usage_err.begin(), usage_err.end()),
            "rxiq-dsp: error writing standard output: No space left on device\n");
}

// The listening options are read before any input: good ones run (standard input
// empty, nothing written), a bad one ends with its reason and the usage, status 2.
TEST_F(RxiqDspTool, ListeningOptionsAreCheckedBeforeAnythingIsRead) {
  for (const char* good : {"--listen fm@-10000 --squelch -60 --deemphasis 750",
                           "--deemphasis=0 --listen=wfm@300000 --squelch=off"}) {
    EXPECT_EQ(run_status(tool + " " + good + " < /dev/null > " + work + "/out.s16 2> " + work + "/err.txt"), 0)
        << good;
    EXPECT_TRUE(read_bytes(work + "/out.s16").empty()) << good;
    EXPECT_TRUE(read_bytes(work + "/err.txt").empty()) << good;
  }
  const std::pair<const char*, std::string> bad[] = {
      {"--listen fm@20000",
       "rxiq-dsp: --listen fm@20000: the offset 20000 Hz is outside what fm can take from the baseband in "
       "rxiq12 (at most 11200 Hz either side)\n"},
      {"--squelch -60 --listen", "rxiq-dsp: --listen needs a value: MODE[@OFFSET]\n"},
      {"--listen fm --bogus", "rxiq-dsp: unknown argument '--bogus'\n"},
  };
  for (const auto& [args, message] : bad) {
    EXPECT_EQ(run_status(tool + " " + args + " < /dev/null > " + work + "/out.s16 2> " + work + "/err.txt"), 2)
        << args;
    EXPECT_TRUE(read_bytes(work + "/out.s16").empty()) << args;
    const std::vector<uint8_t> err = read_bytes(work + "/err.txt");
    const std::string text(err.begin(), err.end());
    EXPECT_TRUE(text.starts_with(message + "usage: rxiq-dsp ")) << text;
  }
}

TEST_F(RxiqDspTool, ListeningWritesMonoAtTheBasebandsRate) {
  write_bytes(work + "/in.u8", tone(-10000.0, 6 * samples_per_block + 1000, false));
  for (const char* mode : {"fm@-10000", "wfm", "am@-10000", "usb@-11000", "lsb@-9000"}) {
    ASSERT_EQ(run_status(tool + " --listen " + mode + " < " + work + "/in.u8 > " + work + "/out.s16"), 0) << mode;
    EXPECT_EQ(read_bytes(work + "/out.s16").size(), 6u * block_frames * 2) << mode;
  }
}

// The simulator's wide FM station, heard through the pipe: its 1 kHz tone, loud and clean.
TEST_F(RxiqDspTool, TheSimulatorsWideFmStationGivesItsTone) {
  const std::string input = work + "/sim.u8", output = work + "/wfm.s16";
  ASSERT_EQ(run_status(RXIQ_BINARY_DIR "/rxiq-sim -n 1200000 " + input), 0);
  const int32_t offset = sim_broadcast_frequency - initial_frequency;
  ASSERT_EQ(run_status(tool + " --listen wfm@" + std::to_string(offset) + " < " + input + " > " + output), 0);
  const std::vector<uint8_t> pcm = read_bytes(output);
  const auto* samples = reinterpret_cast<const int16_t*>(pcm.data());
  const size_t count = pcm.size() / 2, from = count / 4;  // past the filters' start
  auto amplitude = [&](double hz) {
    std::complex<double> sum = 0;
    for (size_t n = from; n < count; ++n) sum += std::polar(double(samples[n]), -2 * M_PI * hz * double(n) / 48000.0);
    return 2 * std::abs(sum) / double(count - from) / 32767.0;
  };
  // 75 kHz of deviation is half of full scale; 50 us de-emphasis takes 5 % off at 1 kHz.
  EXPECT_NEAR(amplitude(1000), 0.5 * 0.954, 0.02);
  EXPECT_LT(amplitude(2000) + amplitude(3000), 0.01);
}

}  // namespace
