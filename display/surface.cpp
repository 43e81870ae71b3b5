#include "display/surface.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Glyphs as rows of text: '#' is a pixel. Each glyph sits in a font_advance x
// font_height cell, drawn from its top-left corner.
struct Glyph {
  char ch;
  const char* rows[font_height];
};

constexpr Glyph glyphs[] = {
    {'0', {"", "", " ####", "##  ##", "##  ##", "## ###", "######", "### ##", "##  ##", "##  ##",
           " ####", "", ""}},
    {'1', {"", "", "  ##", " ###", "####", "  ##", "  ##", "  ##", "  ##", "  ##", "######", "",
           ""}},
    {'2', {"", "", " ####", "##  ##", "    ##", "   ##", "  ##", " ##", "##", "##  ##", "######", "",
           ""}},
    {'3', {"", "", " ####", "##  ##", "    ##", "    ##", "  ###", "    ##", "    ##", "##  ##",
           " ####", "", ""}},
    {'4', {"", "", "    ##", "   ###", "  ####", " ## ##", "##  ##", "#######", "    ##", "    ##",
           "   ####", "", ""}},
    {'5', {"", "", "######", "##", "##", "#####", "    ##", "    ##", "    ##", "##  ##", " ####",
           "", ""}},
    {'6', {"", "", "  ###", " ##", "##", "#####", "##  ##", "##  ##", "##  ##", "##  ##", " ####",
           "", ""}},
    {'7', {"", "", "######", "##  ##", "    ##", "   ##", "  ##", "  ##", "  ##", "  ##", "  ##", "",
           ""}},
    {'8', {"", "", " ####", "##  ##", "##  ##", " ####", "##  ##", "##  ##", "##  ##", "##  ##",
           " ####", "", ""}},
    {'9', {"", "", " ####", "##  ##", "##  ##", "##  ##", " #####", "    ##", "    ##", "   ##",
           " ###", "", ""}},
    {'-', {"", "", "", "", "", "", "######", "", "", "", "", "", ""}},
    {'+', {"", "", "", "", "  ##", "  ##", "######", "  ##", "  ##", "", "", "", ""}},
    {'.', {"", "", "", "", "", "", "", "", "", "  ##", "  ##", "", ""}},
};

const Glyph* find_glyph(char ch) {
  for (const Glyph& g : glyphs) {
    if (g.ch == ch) return &g;
  }
  return nullptr;  // blank: advances without pixels
}

bool inside(const Surface& s, long long x, long long y) {
  return x >= 0 && y >= 0 && x < s.width && y < s.height;
}

}  // namespace

void surface_make(Surface& s, int width, int height, uint32_t pen_colour, uint32_t text_colour) {
  s.width = width;
  s.height = height;
  s.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  s.pen_x = 0;
  s.pen_y = 0;
  s.pen_colour = pen_colour;
  s.text_colour = text_colour;
}

void surface_clear(Surface& s, int x, int y, int width, int height) {
  const long long x0 = std::max<long long>(x, 0);
  const long long y0 = std::max<long long>(y, 0);
  const long long x1 = std::min<long long>(static_cast<long long>(x) + width, s.width);
  const long long y1 = std::min<long long>(static_cast<long long>(y) + height, s.height);
  for (long long row = y0; row < y1; ++row) {
    uint32_t* line = s.pixels.data() + row * s.width;
    std::fill(line + x0, line + std::max(x0, x1), 0u);
  }
}

void surface_move(Surface& s, int x, int y) {
  s.pen_x = x;
  s.pen_y = y;
}

// Steps along the longer axis; the other coordinate is the step's share of its run,
// rounded half away from the start. Only the steps whose long-axis coordinate lies on
// the surface are visited, so a far-off end point costs nothing.
void surface_line(Surface& s, int x, int y) {
  const long long x0 = s.pen_x, y0 = s.pen_y;
  const long long dx = static_cast<long long>(x) - x0, dy = static_cast<long long>(y) - y0;
  s.pen_x = x;
  s.pen_y = y;
  const long long adx = std::llabs(dx), ady = std::llabs(dy);
  const long long steps = std::max(adx, ady);
  if (steps == 0) return;
  const bool x_major = adx >= ady;
  const long long major0 = x_major ? x0 : y0;
  const long long major_dir = (x_major ? dx : dy) < 0 ? -1 : 1;
  const long long minor0 = x_major ? y0 : x0;
  const long long minor_run = x_major ? dy : dx;
  const long long minor_dir = minor_run < 0 ? -1 : 1;
  const long long minor_len = std::llabs(minor_run);
  const long long major_size = x_major ? s.width : s.height;
  // Steps i with 0 <= major0 + major_dir * i < major_size.
  long long first = 0, last = steps - 1;
  if (major_dir > 0) {
    first = std::max(first, -major0);
    last = std::min(last, major_size - 1 - major0);
  } else {
    first = std::max(first, major0 - (major_size - 1));
    last = std::min(last, major0);
  }
  for (long long i = first; i <= last; ++i) {
    const long long major = major0 + major_dir * i;
    const long long minor = minor0 + minor_dir * ((2 * i * minor_len + steps) / (2 * steps));
    const long long px = x_major ? major : minor;
    const long long py = x_major ? minor : major;
    if (inside(s, px, py)) s.pixels[static_cast<size_t>(py * s.width + px)] = s.pen_colour;
  }
}

void surface_set_pixel(Surface& s, int x, int y, uint32_t colour) {
  if (inside(s, x, y)) s.pixels[static_cast<size_t>(y) * s.width + x] = colour;
}

uint32_t surface_pixel(const Surface& s, int x, int y) {
  return inside(s, x, y) ? s.pixels[static_cast<size_t>(y) * s.width + x] : 0u;
}

int surface_text_width(std::string_view text) {
  return static_cast<int>(text.size()) * font_advance;
}

void surface_text(Surface& s, int x, int y, std::string_view text) {
  long long left = x;
  for (char ch : text) {
    if (const Glyph* g = find_glyph(ch)) {
      for (int row = 0; row < font_height; ++row) {
        const char* bits = g->rows[row];
        for (int col = 0; bits[col] != '\0' && col < font_advance; ++col) {
          if (bits[col] == '#' && inside(s, left + col, static_cast<long long>(y) + row)) {
            s.pixels[static_cast<size_t>(y + row) * s.width + static_cast<size_t>(left + col)] =
                s.text_colour;
          }
        }
      }
    }
    left += font_advance;
  }
}

void surface_copy(Surface& dst, int dx, int dy, int width, int height, const Surface& src, int sx,
                  int sy) {
  // Clip against both surfaces, moving both corners together.
  long long x0 = 0, y0 = 0, x1 = width, y1 = height;  // offsets within the rectangle
  x0 = std::max({x0, -static_cast<long long>(sx), -static_cast<long long>(dx)});
  y0 = std::max({y0, -static_cast<long long>(sy), -static_cast<long long>(dy)});
  x1 = std::min({x1, static_cast<long long>(src.width) - sx, static_cast<long long>(dst.width) - dx});
  y1 = std::min(
      {y1, static_cast<long long>(src.height) - sy, static_cast<long long>(dst.height) - dy});
  if (x0 >= x1 || y0 >= y1) return;
  const size_t run = static_cast<size_t>(x1 - x0) * sizeof(uint32_t);
  auto row_copy = [&](long long r) {
    const uint32_t* from = src.pixels.data() + (sy + r) * src.width + sx + x0;
    uint32_t* to = dst.pixels.data() + (dy + r) * dst.width + dx + x0;
    std::memmove(to, from, run);  // memmove: a row may overlap itself
  };
  // Moving down within one surface copies the bottom row first, so no source row is
  // overwritten before it is read.
  if (&dst == &src && dy > sy) {
    for (long long r = y1 - 1; r >= y0; --r) row_copy(r);
  } else {
    for (long long r = y0; r < y1; ++r) row_copy(r);
  }
}
