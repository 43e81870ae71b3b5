#include "tuner/stream_pacer.h"

#include <thread>

namespace {

constexpr auto pacing_slack = std::chrono::seconds(1);

}  // namespace

void StreamPacer::wait_for(int length, double rate) {
  const auto now = std::chrono::steady_clock::now();
  if (!started) {
    start = now;
    bytes = 0;
    started = true;
  }
  bytes += length;
  const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(static_cast<double>(bytes) / 2.0 / rate));
  if (now > due + pacing_slack) {
    start = now;
    bytes = 0;
    return;
  }
  // A sleep can end early where the system sleeps in whole milliseconds (Windows); a
  // block must never arrive before its time.
  while (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
}
