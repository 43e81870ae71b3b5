// The start-up probe on a Linux terminal: queries out, replies read back with a time limit.
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "platform/terminal_graphics.h"

namespace {

constexpr int probe_time_limit_ms = 500;

bool send_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads replies until the DA1 reply that ends them, or the deadline.
void read_replies(int in_fd, std::chrono::steady_clock::time_point deadline) {
  ProbeReader reader;
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

}  // namespace

void terminal_graphics_probe(int in_fd, int out_fd) {
  if (!isatty(in_fd) || !isatty(out_fd)) return;
  const bool multiplexer = inside_multiplexer(std::getenv("TERM"), std::getenv("TMUX"));
  if (!send_all(out_fd, probe_query_text(multiplexer))) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(probe_time_limit_ms);
  read_replies(in_fd, deadline);
  // Only a terminal that has sixel is asked its largest graphic: others might take the
  // private sequence for a plain scroll.
  if (terminal_caps.probed && terminal_caps.sixel && !multiplexer) {
    const bool probed = terminal_caps.probed;
    terminal_caps.probed = false;
    if (send_all(out_fd, sixel_size_query_text())) read_replies(in_fd, deadline);
    terminal_caps.probed = probed;
  }
}
