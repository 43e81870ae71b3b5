// Where sound was lost, from recordings of a sink's monitor: the stretches in which a
// receiver played something, on the wall clock, and the silence that each fault of a soak
// (scripts/soak --faults) left in them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

// A stretch of time, in seconds on the wall clock.
struct SoundSpan {
  double from = 0;
  double to = 0;
};

// A 10 ms window is sound when any sample reaches this: a receiver's output is scaled by
// its level control to thousands, and a server with nothing to play gives zeros.
inline constexpr int sound_threshold = 8;
inline constexpr double sound_window_s = 0.01;

// Adds the sound in `frames` of 16-bit stereo at `rate`, the first of them at `start`
// (window by window; a window cut short at the end counts as one). Spans are appended in
// order; a span that touches the last one extends it.
class SoundSpans {
 public:
  SoundSpans(double rate, double start) : rate_(rate), start_(start) {
    window_ = std::max<int64_t>(1, static_cast<int64_t>(rate * sound_window_s));
  }

  void add(const int16_t* samples, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
      const int l = std::abs(static_cast<int>(samples[2 * i]));
      const int r = std::abs(static_cast<int>(samples[2 * i + 1]));
      loud_ = loud_ || l >= sound_threshold || r >= sound_threshold;
      if (++in_window_ == window_) close_window();
    }
  }

  // The spans, after the last partial window.
  std::vector<SoundSpan> finish() {
    if (in_window_ > 0) close_window();
    return spans_;
  }

 private:
  void close_window() {
    const double from = start_ + static_cast<double>(frames_) / rate_;
    frames_ += in_window_;
    const double to = start_ + static_cast<double>(frames_) / rate_;
    if (loud_) {
      if (!spans_.empty() && spans_.back().to >= from) {
        spans_.back().to = to;
      } else {
        spans_.push_back({from, to});
      }
    }
    loud_ = false;
    in_window_ = 0;
  }

  double rate_;
  double start_;
  int64_t window_;
  int64_t frames_ = 0;  // closed windows' frames so far
  int64_t in_window_ = 0;
  bool loud_ = false;
  std::vector<SoundSpan> spans_;
};

// Spans of several recordings (a server restarted means a new recording) in time order,
// overlapping ones joined.
inline std::vector<SoundSpan> merge_spans(std::vector<SoundSpan> spans) {
  std::sort(spans.begin(), spans.end(), [](const SoundSpan& a, const SoundSpan& b) { return a.from < b.from; });
  std::vector<SoundSpan> out;
  for (const SoundSpan& s : spans) {
    if (!out.empty() && s.from <= out.back().to) {
      out.back().to = std::max(out.back().to, s.to);
    } else {
      out.push_back(s);
    }
  }
  return out;
}

// How long a fault at `at` silenced the sound: the longest silence between spans that
// overlaps [at, at + settle] (the fault shows within `settle`), counted from no earlier
// than `at - slack` (the recordings' clock is that far off at most; silence before that
// was not this fault's). Nothing when the silence lasts to the end of the spans: the
// sound never came back. 0 when the sound played on.
inline std::optional<double> silence_after(const std::vector<SoundSpan>& spans, double at, double settle,
                                           double slack) {
  if (spans.empty() || spans.back().to < at + settle) return std::nullopt;
  double longest = 0;
  for (size_t k = 1; k < spans.size(); ++k) {
    const double from = spans[k - 1].to;
    const double to = spans[k].from;
    if (to > at && from <= at + settle) longest = std::max(longest, to - std::max(from, at - slack));
  }
  return longest;
}
