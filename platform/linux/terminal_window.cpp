// The terminal window on Linux: the boot-time clock, the title round trip and the size
// from the terminal driver.
#include <chrono>
#include <ctime>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "platform/console_out.h"
#include "platform/linux/title_sequences.h"
#include "platform/terminal_window.h"

namespace {
constexpr auto title_show_time = std::chrono::milliseconds(40);
}

std::string title_push_text() { return "\x1b[22;0t"; }
std::string title_set_text(const std::string& title) { return "\x1b]2;" + title + "\x07"; }
std::string title_pop_text() { return "\x1b[23;0t"; }

uint32_t tick_count() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

bool find_console_window(ConsoleWindow*) {
  if (!isatty(console_out.fd)) return false;
  const std::string title = console_title_text(tick_count(), static_cast<int>(getpid()));
  console_write(title_push_text() + title_set_text(title));
  std::this_thread::sleep_for(title_show_time);
  const bool found = isatty(console_out.fd);
  console_write(title_pop_text());
  return found;
}

TerminalSize terminal_size() {
  TerminalSize size;
  winsize ws{};
  if (ioctl(console_out.fd, TIOCGWINSZ, &ws) == 0) {
    size.columns = ws.ws_col;
    size.rows = ws.ws_row;
    size.pixel_width = ws.ws_xpixel;
    size.pixel_height = ws.ws_ypixel;
  }
  // A terminal that tells no size (a fresh pseudo-terminal) gets the classic one.
  if (size.columns == 0) size.columns = 80;
  if (size.rows == 0) size.rows = 24;
  if (size.pixel_width == 0 || size.pixel_height == 0) size.pixel_width = size.pixel_height = 0;
  return size;
}
