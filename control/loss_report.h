// The report of lost audio: blocks the playback side dropped for being late (or found
// the ring full), sample blocks the tuner overwrote before the DSP thread read them,
// underruns of the playback ring, and dongle reads that failed. A line goes out when a count has grown, at most
// one every 10 s, with the totals since start.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int64_t loss_report_interval_ms = 10000;

struct LossCounts {
  uint64_t late = 0;       // audio blocks dropped by the playback side
  uint64_t overrun = 0;    // sample-ring blocks lost to the tuner lapping the reader
  uint64_t underruns = 0;  // times the audio ring ran dry while sound played
  uint64_t record_dropped = 0;  // blocks the recording's full queue refused
  uint64_t failed_reads = 0;    // dongle reads that failed and brought no samples
};

struct LossReport {
  LossCounts shown;          // the counts of the latest line (all zero before one)
  bool printed = false;
  int64_t printed_ms = 0;    // when the latest line went out
};

// True when a line is due at now_ms for `counts`; it is then taken as printed.
bool loss_report_due(LossReport& report, const LossCounts& counts, int64_t now_ms);

// The line for `counts`, newline included.
std::string loss_report_text(const LossCounts& counts);

// The status file's text: one "name value" line each for the backlog, the counts, and
// the blocks dropped while the sound device was starting.
std::string loss_status_text(const LossCounts& counts, int32_t backlog, uint64_t start_dropped);
