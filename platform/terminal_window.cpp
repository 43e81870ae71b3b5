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
  const std::string rows = std::to_string(terminal_rows);
  std::string out = "\x1b[" + rows + ";1H";  // last row: line feeds there scroll
  out.append(static_cast<size_t>(picture_rows), '\n');
  // Everything moved up by the picture's height; move it back down under the picture,
  // leaving the top rows blank and the lines that left them in the scrollback.
  out += "\x1b[1;1H\x1b[" + p + "L";
  out += "\x1b[" + std::to_string(picture_rows + 1) + ";" + rows + "r";
  out += "\x1b[" + rows + ";1H";
  return out;
}

std::string picture_area_close_text(int picture_rows) {
  const std::string p = std::to_string(picture_rows);
  return "\x1b" "7" "\x1b[r\x1b[1;1H\x1b[" + p + "M\x1b" "8\x1b[" + p + "A";
}
