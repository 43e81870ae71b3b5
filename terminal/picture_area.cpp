#include "terminal/picture_area.h"

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
