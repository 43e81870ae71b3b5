// Off-screen drawing surfaces of the display: 32-bit pixels 0x00BBGGRR, a pen for
// lines, a text colour and a built-in bitmap font. Anything outside the surface is
// clipped.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr uint32_t rgb(int r, int g, int b) {
  return static_cast<uint32_t>(r & 0xFF) | (static_cast<uint32_t>(g & 0xFF) << 8) |
         (static_cast<uint32_t>(b & 0xFF) << 16);
}
inline constexpr int red_of(uint32_t c) { return static_cast<int>(c & 0xFF); }
inline constexpr int green_of(uint32_t c) { return static_cast<int>((c >> 8) & 0xFF); }
inline constexpr int blue_of(uint32_t c) { return static_cast<int>((c >> 16) & 0xFF); }

// The built-in font: fixed advance, glyphs for the digits, minus, plus, point and blank.
inline constexpr int font_height = 13;
inline constexpr int font_external_leading = 3;
inline constexpr int font_advance = 8;

struct Surface {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // row by row, width per row
  int pen_x = 0;                 // current pen position
  int pen_y = 0;
  uint32_t pen_colour = 0;
  uint32_t text_colour = 0;
};

// Makes a width x height surface cleared to black.
void surface_make(Surface& s, int width, int height, uint32_t pen_colour, uint32_t text_colour);

// clear: fills a rectangle with black.
void surface_clear(Surface& s, int x, int y, int width, int height);

// move: sets the pen position; draws nothing.
void surface_move(Surface& s, int x, int y);

// line: draws with the pen from the pen position to (x, y), excluding (x, y), which
// becomes the pen position.
void surface_line(Surface& s, int x, int y);

// set pixel.
void surface_set_pixel(Surface& s, int x, int y, uint32_t colour);

// The pixel at (x, y); 0 outside the surface.
uint32_t surface_pixel(const Surface& s, int x, int y);

// text width: width in pixels of text in the surface's font.
int surface_text_width(std::string_view text);

// text: draws the glyphs of text with their top-left corner at (x, y), no background.
void surface_text(Surface& s, int x, int y, std::string_view text);

// copy: a rectangle of src at (sx, sy) to dst at (dx, dy); src and dst may be the same
// surface, and the result is as if the whole source were read before any write.
void surface_copy(Surface& dst, int dx, int dy, int width, int height, const Surface& src, int sx,
                  int sy);
