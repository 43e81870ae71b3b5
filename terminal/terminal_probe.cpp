// The start-up probe: queries out, replies read back with a time limit.
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/terminal.h"
#include "terminal/terminal_graphics.h"

namespace {

constexpr int probe_time_limit_ms = 500;

// Reads replies until the DA1 reply that ends them, or the deadline.
void read_replies(int in_fd, std::chrono::steady_clock::time_point deadline) {
  ProbeReader reader;
  while (!reader.done) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    // One byte at a time: whatever follows the last reply (keys typed at once) stays
    // unread for the key loop.
    const int byte = terminal_read_byte(in_fd, static_cast<int>(left.count()));
    if (byte == terminal_read_none) continue;  // a signal or the time is up; the loop checks
    if (byte == terminal_read_end) break;
    probe_reader_feed(reader, static_cast<uint8_t>(byte), terminal_caps);
  }
}

}  // namespace

void terminal_graphics_probe(int in_fd, int out_fd) {
  if (!terminal_answers_queries(in_fd, out_fd)) return;
  const bool multiplexer = inside_multiplexer(std::getenv("TERM"), std::getenv("TMUX"));
  if (!terminal_write_all(out_fd, probe_query_text(multiplexer))) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(probe_time_limit_ms);
  read_replies(in_fd, deadline);
  // Only a terminal that has sixel is asked its largest graphic: others might take the
  // private sequence for a plain scroll.
  if (terminal_caps.probed && terminal_caps.sixel && !multiplexer) {
    const bool probed = terminal_caps.probed;
    terminal_caps.probed = false;
    if (terminal_write_all(out_fd, sixel_size_query_text())) read_replies(in_fd, deadline);
    terminal_caps.probed = probed;
  }
}

TerminalSize terminal_size_with_probe() {
  TerminalSize size = terminal_size();
  if (size.pixel_width == 0 || size.pixel_height == 0) {
    size.pixel_width = terminal_caps.pixel_width;
    size.pixel_height = terminal_caps.pixel_height;
  }
  return size;
}
