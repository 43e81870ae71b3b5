#include "platform/terminal_window.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "platform/console_out.h"
#include "platform/terminal_graphics.h"

namespace {
constexpr auto title_show_time = std::chrono::milliseconds(40);
}

uint32_t tick_count() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::string console_title_text(uint32_t tick, int process_id) {
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d", static_cast<int32_t>(tick), process_id);
  return text;
}

std::string title_push_text() { return "\x1b[22;0t"; }
std::string title_set_text(const std::string& title) { return "\x1b]2;" + title + "\x07"; }
std::string title_pop_text() { return "\x1b[23;0t"; }

bool find_console_window() {
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
  if (size.pixel_width == 0 || size.pixel_height == 0) {
    size.pixel_width = terminal_caps.pixel_width;
    size.pixel_height = terminal_caps.pixel_height;
  }
  return size;
}

std::string picture_area_open_text(int picture_rows, int terminal_rows) {
  const std::string p = std::to_string(picture_rows);
  // Make room for the picture's rows below the cursor (lines scroll into the scrollback
  // only when the screen is full) and come back to the same line...
  std::string out(static_cast<size_t>(picture_rows), '\n');
  out += "\x1b[" + p + "A\x1b" "7";
  // ...then push everything down under the picture, so the text stays whole and the
  // cursor goes on right below it.
  out += "\x1b[1;1H\x1b[" + p + "L";
  out += "\x1b[" + std::to_string(picture_rows + 1) + ";" + std::to_string(terminal_rows) + "r";
  out += "\x1b" "8\x1b[" + p + "B";
  return out;
}

std::string picture_area_close_text(int picture_rows) {
  const std::string p = std::to_string(picture_rows);
  return "\x1b" "7" "\x1b[r\x1b[1;1H\x1b[" + p + "M\x1b" "8\x1b[" + p + "A";
}
