#include "platform/terminal_window.h"

#include <cstdio>

std::string console_title_text(uint32_t tick, int process_id) {
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d", static_cast<int32_t>(tick), process_id);
  return text;
}

std::string title_push_text() { return "\x1b[22;0t"; }
std::string title_set_text(const std::string& title) { return "\x1b]2;" + title + "\x07"; }
std::string title_pop_text() { return "\x1b[23;0t"; }

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
