// The start-up probe on a Linux terminal: queries out, replies read back with a time limit.
#include <chrono>
#include <poll.h>
#include <unistd.h>

#include "platform/terminal_graphics.h"

namespace {

constexpr int probe_time_limit_ms = 500;

}  // namespace

void terminal_graphics_probe(int in_fd, int out_fd) {
  if (!isatty(in_fd) || !isatty(out_fd)) return;
  const std::string query = probe_query_text();
  size_t sent = 0;
  while (sent < query.size()) {
    const ssize_t n = ::write(out_fd, query.data() + sent, query.size() - sent);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
  ProbeReader reader;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(probe_time_limit_ms);
  while (!reader.done) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{in_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;  // EINTR or the time is up; the loop checks
    // One byte at a time: whatever follows the last reply (keys typed at once) stays
    // unread for the key loop.
    uint8_t byte = 0;
    if (::read(in_fd, &byte, 1) != 1) break;
    probe_reader_feed(reader, byte, terminal_caps);
  }
}
