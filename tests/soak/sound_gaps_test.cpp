// The lost-sound measure of scripts/soak --faults: sound found window by window in a
// sink's recordings, recordings joined across a server restart, and each fault's silence.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/sound_gaps.h"

namespace {

constexpr double rate = 48000;

// Stereo frames: a 1 kHz tone of `amplitude` for `seconds`.
std::vector<int16_t> tone(double seconds, double amplitude = 3000) {
  const size_t frames = static_cast<size_t>(seconds * rate);
  std::vector<int16_t> out(2 * frames);
  for (size_t k = 0; k < frames; ++k) {
    const double phase = 2 * std::numbers::pi * 1000 * static_cast<double>(k) / rate;
    out[2 * k] = static_cast<int16_t>(std::lround(amplitude * std::cos(phase)));
    out[2 * k + 1] = static_cast<int16_t>(std::lround(amplitude * std::sin(phase)));
  }
  return out;
}

std::vector<int16_t> joined(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(SoundGaps, SilenceIsFoundWindowByWindowHoweverTheFramesArrive) {
  // 1 s of tone, 0.5 s of zeros, 0.3 s of hiss below the threshold, 1 s of tone, then
  // 0.2 s of zeros with one loud sample in them.
  std::vector<int16_t> hiss = tone(0.3, sound_threshold - 2);
  std::vector<int16_t> click = tone(0.2, 0);
  click[2 * 4800 + 1] = 20000;
  const std::vector<int16_t> all = joined({tone(1), tone(0.5, 0), hiss, tone(1), click});
  const size_t frames = all.size() / 2;

  SoundSpans whole(rate, 100);
  whole.add(all.data(), frames);
  const std::vector<SoundSpan> spans = whole.finish();
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_NEAR(spans[0].from, 100, 1e-9);
  EXPECT_NEAR(spans[0].to, 101, 0.011);
  EXPECT_NEAR(spans[1].from, 101.8, 0.011);
  EXPECT_NEAR(spans[1].to, 102.8, 0.011);
  // The click makes its own window sound: 10 ms.
  EXPECT_NEAR(spans[2].to - spans[2].from, 0.01, 1e-9);
  EXPECT_NEAR(spans[2].from, 102.9, 0.011);

  // The frames in uneven pieces, as a file is read: the same spans.
  SoundSpans pieces(rate, 100);
  for (size_t at = 0; at < frames;) {
    const size_t n = std::min<size_t>(frames - at, 337);
    pieces.add(all.data() + 2 * at, n);
    at += n;
  }
  const std::vector<SoundSpan> again = pieces.finish();
  ASSERT_EQ(again.size(), spans.size());
  for (size_t k = 0; k < spans.size(); ++k) {
    EXPECT_DOUBLE_EQ(again[k].from, spans[k].from);
    EXPECT_DOUBLE_EQ(again[k].to, spans[k].to);
  }
}

TEST(SoundGaps, EachFaultGetsTheSilenceThatFollowedIt) {
  // Two recordings, the second after a server restart: sound 0-31 with a glitch at
  // 12.00-12.05 and a gap 20.2-23; then, recorded anew, sound 34-80 with a gap 60-62,
  // and silence after 80 to the end.
  const std::vector<SoundSpan> spans =
      merge_spans({{34, 60}, {0, 12}, {12.05, 20.2}, {23, 30}, {29.5, 31}, {62, 80}});
  ASSERT_EQ(spans.size(), 5u);  // {29.5, 31} overlaps {23, 30}: one span
  const double settle = 10, slack = 1;

  // The fault at 20 silenced 20.2-23; the glitch before it is not its silence.
  EXPECT_NEAR(*silence_after(spans, 20, settle, slack), 2.8, 1e-9);
  // The server killed at 31: silence across the two recordings until 34.
  EXPECT_NEAR(*silence_after(spans, 31, settle, slack), 3, 1e-9);
  // Of two silences that start within the settling time, the longer one.
  EXPECT_NEAR(*silence_after(spans, 11, settle, slack), 2.8, 1e-9);
  // A silence that began before the fault counts from the slack before it.
  EXPECT_NEAR(*silence_after(spans, 61.5, settle, slack), 1.5, 1e-9);
  // Nothing silent near the fault: no sound lost.
  EXPECT_EQ(*silence_after(spans, 40, settle, slack), 0);
  // Silent from 80 to the end: never back.
  EXPECT_FALSE(silence_after(spans, 75, settle, slack));
  EXPECT_FALSE(silence_after({}, 75, settle, slack));
}

TEST(SoundGaps, TheProgramReportsEachEventOfTwoRecordings) {
  char pattern[] = "/tmp/rxiq-sound-gaps-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  auto write = [&](const std::string& name, const std::vector<int16_t>& frames) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(frames.data()), static_cast<std::streamsize>(2 * frames.size()));
  };
  // Before the server's restart: 2 s of sound, 1 s lost from 1002, 20 s of sound; after it
  // (recorded from 1025): 1 s of silence, then sound for 12 s, then silence to the end.
  write("one.raw", joined({tone(2), tone(1, 0), tone(20)}));
  write("two.raw", joined({tone(1, 0), tone(12), tone(15, 0)}));
  {
    std::ofstream events(dir + "/events");
    events << "1001.9 unplug\n1023 sound-server\n1037 server\nnonsense\n";
  }
  const std::string out = run_output("'" + std::string(RXIQ_BINARY_DIR) + "/tests/soak_sound_gaps' 48000 '" + dir +
                                     "/events' '" + dir + "/one.raw@1000' '" + dir + "/two.raw@1025'");
  EXPECT_EQ(out, "unplug 1001.900 1.00\nsound-server 1023.000 3.00\nserver 1037.000 never\n");
  EXPECT_NE(run_status("'" + std::string(RXIQ_BINARY_DIR) + "/tests/soak_sound_gaps' 48000 '" + dir +
                       "/events' '" + dir + "/one.raw'"),
            0);
  run_status("rm -rf '" + dir + "'");
}

}  // namespace
