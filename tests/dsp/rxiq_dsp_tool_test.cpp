#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "dsp/dsp_thread.h"

namespace {

const std::string tool = RXIQ_BINARY_DIR "/dsp/rxiq-dsp";
const std::string work_root = RXIQ_BINARY_DIR "/tests/rxiq_dsp_tool_test";
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

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

int run(const std::string& command) {
  const int status = std::system(("/bin/bash -c '" + command + "'").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What the receiver's chain makes of the same bytes, in this process.
std::vector<uint8_t> chain_output(const std::vector<uint8_t>& bytes) {
  RxState state{rxiq12_variant};
  auto filter = std::make_unique<FirFilter>();
  auto dsp = std::make_unique<DspState>();
  auto spectrum = std::make_unique<SpectrumBuffer>();
  fir_init_channel(*filter, rxiq12_variant);
  dsp_build_table(*dsp);
  std::vector<uint8_t> out;
  const BlockSink sink{[](void* context, const void* data, int length) {
                         auto& o = *static_cast<std::vector<uint8_t>*>(context);
                         o.insert(o.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
                         return 1;
                       },
                       &out};
  dsp_process_bytes(DspChain{state, *filter, *dsp, *spectrum, sink}, bytes.data(), static_cast<int32_t>(bytes.size()));
  return out;
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
    ASSERT_EQ(run("mkdir -p " + work), 0);
  }
  std::string work;
};

TEST_F(RxiqDspTool, ToneKeepsItsOffsetAndSign) {
  for (double offset : {5000.0, -7000.0}) {
    // Six whole blocks, then a partial block and an odd byte, both dropped.
    const std::vector<uint8_t> input = tone(offset, 6 * samples_per_block + 1000, true);
    write_file(work + "/in.u8", input);
    ASSERT_EQ(run(tool + " < " + work + "/in.u8 > " + work + "/out.s16 2> " + work + "/err.txt"), 0);
    const std::vector<uint8_t> output = read_file(work + "/out.s16");
    ASSERT_EQ(output.size(), 6u * block_bytes);
    EXPECT_TRUE(read_file(work + "/err.txt").empty());
    EXPECT_TRUE(output == chain_output(input)) << "the tool must match the receiver's chain byte for byte";
    // Positive offset: I leads Q, the I/Q phasor turns counter-clockwise.
    EXPECT_NEAR(tone_offset(output, 5), offset, 20.0);
  }
}

TEST_F(RxiqDspTool, UsageAndOutputErrors) {
  ASSERT_EQ(run(tool + " -h > " + work + "/usage.txt"), 0);
  const std::vector<uint8_t> usage = read_file(work + "/usage.txt");
  EXPECT_EQ(std::string(usage.begin(), usage.end()).rfind("usage: rxiq-dsp", 0), 0u);
  EXPECT_NE(run(tool + " --bogus < /dev/null > /dev/null 2>&1"), 0);

  write_file(work + "/big.u8", tone(1000.0, 8 * samples_per_block, false));
  // A reader that goes away early ends the tool quietly and successfully.
  EXPECT_EQ(run("set -o pipefail; " + tool + " < " + work + "/big.u8 2> " + work + "/err.txt | head -c 10 > /dev/null"), 0);
  EXPECT_TRUE(read_file(work + "/err.txt").empty());
  // Any other write failure is reported and fails.
  EXPECT_NE(run(tool + " < " + work + "/big.u8 > /dev/full 2> " + work + "/err.txt"), 0);
  const std::vector<uint8_t> err = read_file(work + "/err.txt");
  EXPECT_NE(std::string(err.begin(), err.end()).find("rxiq-dsp: error writing standard output"), std::string::npos);
  // The usage is no exception.
  EXPECT_EQ(run(tool + " -h > /dev/full 2> " + work + "/err.txt"), 1);
  const std::vector<uint8_t> usage_err = read_file(work + "/err.txt");
  EXPECT_EQ(std::string(usage_err.begin(), usage_err.end()),
            "rxiq-dsp: error writing standard output: No space left on device\n");
}

}  // namespace
