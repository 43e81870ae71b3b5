#include "control/loss_report.h"

#include <cinttypes>
#include <cstdio>

bool loss_report_due(LossReport& report, const LossCounts& counts, int64_t now_ms) {
  const bool grew = counts.late > report.shown.late || counts.overrun > report.shown.overrun ||
                    counts.underruns > report.shown.underruns || counts.record_dropped > report.shown.record_dropped ||
                    counts.failed_reads > report.shown.failed_reads;
  if (!grew) return false;
  if (report.printed && now_ms - report.printed_ms < loss_report_interval_ms) return false;
  report.shown = counts;
  report.printed = true;
  report.printed_ms = now_ms;
  return true;
}

std::string loss_report_text(const LossCounts& counts) {
  char text[160];
  std::snprintf(text, sizeof text,
                "Lost %" PRIu64 " audio blocks (late), %" PRIu64 " sample blocks (overrun), %" PRIu64
                " underruns\n",
                counts.late, counts.overrun, counts.underruns);
  std::string line = text;
  if (counts.record_dropped != 0) {
    line.pop_back();
    std::snprintf(text, sizeof text, ", %" PRIu64 " blocks not recorded (recording queue full)\n", counts.record_dropped);
    line += text;
  }
  if (counts.failed_reads != 0) {
    line.pop_back();
    std::snprintf(text, sizeof text, ", %" PRIu64 " dongle reads failed\n", counts.failed_reads);
    line += text;
  }
  return line;
}

std::string loss_status_text(const LossCounts& counts, int32_t backlog, uint64_t start_dropped) {
  char text[240];
  std::snprintf(text, sizeof text,
                "backlog %d\nlate %" PRIu64 "\noverrun %" PRIu64 "\nunderruns %" PRIu64
                "\nstart_dropped %" PRIu64 "\nfailed_reads %" PRIu64 "\n",
                static_cast<int>(backlog), counts.late, counts.overrun, counts.underruns,
                start_dropped, counts.failed_reads);
  return text;
}
