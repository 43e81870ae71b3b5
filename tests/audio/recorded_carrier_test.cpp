// Where the carrier lies in a recording of the receiver's sound: 16-bit stereo frames,
// I left and Q right, as parecord --raw writes them from a sound server's monitor.
// scripts/test-windows records the Windows receiver playing under Wine and names the
// recording here (RXIQ_RECORDING, RXIQ_RECORDING_RATE, RXIQ_CARRIER); without them that
// test skips. Wine's mixer may drop or repeat a short stretch, so the carrier is found by
// its frequency over a stretch, not by its samples.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/tone.h"

namespace {

constexpr double stretch_seconds = 0.5;
constexpr double search_hz = 300;  // either side of the carrier looked for

// A complex tone of `amplitude` at `frequency`, as 16-bit I/Q frames.
void add_tone(std::vector<int16_t>& frames, double frequency, double amplitude, double rate) {
  for (size_t k = 0; k < frames.size() / 2; ++k) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(k) / rate;
    frames[2 * k] = static_cast<int16_t>(frames[2 * k] + std::lround(amplitude * std::cos(phase)));
    frames[2 * k + 1] = static_cast<int16_t>(frames[2 * k + 1] + std::lround(amplitude * std::sin(phase)));
  }
}

// The last `seconds` of a raw recording, whole frames only; empty if it is shorter.
std::vector<int16_t> recording_tail(const std::string& path, double rate, double seconds) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  const auto frames = static_cast<std::streamoff>(rate * seconds);
  const std::streamoff whole = in.tellg() / 4 * 4;
  if (whole < frames * 4) return {};
  std::vector<int16_t> tail(static_cast<size_t>(frames) * 2);
  in.seekg(whole - frames * 4);
  in.read(reinterpret_cast<char*>(tail.data()), frames * 4);
  return in ? tail : std::vector<int16_t>{};
}

}  // namespace

// The carrier between grid points is found to a fraction of a hertz at both channel
// rates, with a weaker tone 300 Hz off and a dropped stretch (silence, then the tone
// again with another phase) inside the window.
TEST(StrongestTone, FindsTheCarrierPastAGapAndANeighbour) {
  for (const double rate : {48000.0, 96000.0}) {
    std::vector<int16_t> frames(static_cast<size_t>(rate * stretch_seconds) * 2);
    add_tone(frames, 9851.3, 8000, rate);
    add_tone(frames, 10151.3, 800, rate);
    const size_t gap_from = frames.size() / 3 / 2 * 2;  // on a frame
    std::fill(frames.begin() + static_cast<long>(gap_from), frames.begin() + static_cast<long>(gap_from + 600), 0);
    const std::vector<int16_t> late(frames.begin() + static_cast<long>(gap_from + 1000), frames.end());
    std::copy(late.begin(), late.end(), frames.begin() + static_cast<long>(gap_from + 600));
    const double found = strongest_tone(hann_windowed(frames), rate, 9850 - search_hz, 9850 + search_hz);
    // The gap turns the phase by half a turn at 96,000 frames/s, the worst case.
    EXPECT_NEAR(found, 9851.3, 2.0) << "at " << rate << " frames/s";
  }
}

TEST(StrongestTone, ARecordingShorterThanTheStretchGivesNothing) {
  const std::string path = ::testing::TempDir() + "/rxiq_short_recording.raw";
  {
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> bytes(4 * 1000 + 3, 1);  // ends on a partial frame
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_TRUE(recording_tail(path, 48000, stretch_seconds).empty());
  EXPECT_EQ(recording_tail(path, 1000, stretch_seconds).size(), 1000u) << "whole frames, the last ones";
  EXPECT_TRUE(recording_tail(path + ".missing", 48000, stretch_seconds).empty());
  std::remove(path.c_str());
}

// The carrier is in the last half second of the recording, within a few hertz of
// RXIQ_CARRIER, with I leading Q (nothing at the mirror frequency).
TEST(RecordedCarrier, IsAtTheFrequencyAsked) {
  const char* path = std::getenv("RXIQ_RECORDING");
  if (!path) GTEST_SKIP() << "RXIQ_RECORDING names a recording to look at";
  const char* rate_text = std::getenv("RXIQ_RECORDING_RATE");
  const char* carrier_text = std::getenv("RXIQ_CARRIER");
  ASSERT_TRUE(rate_text && carrier_text) << "RXIQ_RECORDING_RATE and RXIQ_CARRIER go with it";
  const double rate = std::atof(rate_text);
  const double carrier = std::atof(carrier_text);
  ASSERT_GT(rate, 0);

  const std::vector<int16_t> frames = recording_tail(path, rate, stretch_seconds);
  ASSERT_FALSE(frames.empty()) << "less than " << stretch_seconds << " s in " << path;
  const std::vector<double> windowed = hann_windowed(frames);
  const size_t pairs = windowed.size() / 2;
  const double found = strongest_tone(windowed, rate, carrier - search_hz, carrier + search_hz);
  const double amplitude = tone_amplitude(windowed.data(), pairs, found, rate);
  const double mirror = tone_amplitude(windowed.data(), pairs, -found, rate);
  std::printf("carrier at %.1f Hz, amplitude %.0f, mirror %.0f\n", found, amplitude, mirror);
  EXPECT_NEAR(found, carrier, 3.0);
  EXPECT_GT(amplitude, 300.0) << "a tone, not the noise floor";
  EXPECT_GT(amplitude, 30 * mirror) << "I leads Q";
}
