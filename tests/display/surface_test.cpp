#include "display/surface.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t red = rgb(255, 0, 0);
constexpr uint32_t blue = rgb(0, 0, 255);

Surface make(int w = 40, int h = 30) {
  Surface s;
  surface_make(s, w, h, red, rgb(0, 200, 0));
  return s;
}

std::vector<std::pair<int, int>> lit(const Surface& s, uint32_t colour) {
  std::vector<std::pair<int, int>> points;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x)
      if (surface_pixel(s, x, y) == colour) points.emplace_back(x, y);
  return points;
}

}  // namespace

TEST(Surface, LinesExcludeTheirEndPointAndLeaveThePenThere) {
  Surface s = make();
  surface_move(s, 5, 2);
  surface_line(s, 5, 7);  // a tick: rows 2-6
  EXPECT_EQ(lit(s, red), (std::vector<std::pair<int, int>>{{5, 2}, {5, 3}, {5, 4}, {5, 5}, {5, 6}}));
  EXPECT_EQ(s.pen_x, 5);
  EXPECT_EQ(s.pen_y, 7);

  // A trace segment one column across: first half in the start column, the rest in the
  // end column, the end point itself left out.
  s = make();
  surface_move(s, 10, 20);
  surface_line(s, 11, 26);
  EXPECT_EQ(lit(s, red),
            (std::vector<std::pair<int, int>>{{10, 20}, {10, 21}, {10, 22}, {11, 23}, {11, 24}, {11, 25}}));

  // A flat step draws only its start; a zero-length line draws nothing.
  s = make();
  surface_move(s, 3, 4);
  surface_line(s, 4, 4);
  surface_line(s, 4, 4);
  EXPECT_EQ(lit(s, red), (std::vector<std::pair<int, int>>{{3, 4}}));

  // Leftward and upward lines also stop short of their end.
  s = make();
  surface_move(s, 9, 9);
  surface_line(s, 6, 9);
  surface_line(s, 6, 6);
  EXPECT_EQ(lit(s, red),
            (std::vector<std::pair<int, int>>{{6, 7}, {6, 8}, {6, 9}, {7, 9}, {8, 9}, {9, 9}}));
}

TEST(Surface, LinesFarOffTheSurfaceAreClippedNotWalked) {
  Surface s = make();
  surface_move(s, 5, 20);
  surface_line(s, 6, -2147483543);  // the largest magnitude a bin can have
  std::vector<std::pair<int, int>> got = lit(s, red);
  ASSERT_EQ(got.size(), 21u);  // rows 20 down to 0, all still in column 5
  for (auto [x, y] : got) EXPECT_EQ(x, 5);
  EXPECT_EQ(s.pen_y, -2147483543);

  s = make();
  surface_move(s, -100, -100);
  surface_line(s, 2147483647, -100);
  surface_move(s, 2000000000, 3);
  surface_line(s, -2000000000, 3);  // crosses the whole surface on row 3
  EXPECT_EQ(lit(s, red).size(), 40u);
}

TEST(Surface, CopyBehavesAsIfTheSourceWereReadFirst) {
  Surface s = make(8, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) surface_set_pixel(s, x, y, static_cast<uint32_t>(y * 8 + x + 1));
  const Surface before = s;
  auto reference = [&](int dx, int dy, int w, int h, int sx, int sy) {
    Surface r = before;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        if (sx + x < 0 || sy + y < 0 || sx + x >= 8 || sy + y >= 6) continue;
        surface_set_pixel(r, dx + x, dy + y, surface_pixel(before, sx + x, sy + y));
      }
    return r.pixels;
  };
  struct Case { int dx, dy, w, h, sx, sy; };
  for (Case c : {Case{0, 1, 8, 4, 0, 0}, Case{0, 0, 8, 4, 0, 1}, Case{1, 0, 6, 6, 0, 0},
                 Case{0, 0, 6, 6, 2, 0}, Case{1, 1, 8, 8, 0, 0}, Case{-2, 0, 8, 3, 0, 2}}) {
    s = before;
    surface_copy(s, c.dx, c.dy, c.w, c.h, s, c.sx, c.sy);
    EXPECT_EQ(s.pixels, reference(c.dx, c.dy, c.w, c.h, c.sx, c.sy))
        << c.dx << "," << c.dy << " " << c.w << "x" << c.h << " from " << c.sx << "," << c.sy;
  }
}

TEST(Surface, ClearAndTextTouchOnlyTheirPixels) {
  Surface s = make();
  for (uint32_t& p : s.pixels) p = blue;
  surface_clear(s, -5, 28, 10, 10);  // clipped to columns 0-4 of rows 28-29
  EXPECT_EQ(lit(s, 0).size(), 10u);
  EXPECT_EQ(surface_pixel(s, 5, 29), blue);

  for (uint32_t& p : s.pixels) p = blue;
  EXPECT_EQ(surface_text_width("-12"), 3 * font_advance);
  surface_text(s, 2, 1, "-12");
  const size_t glyph_pixels = lit(s, rgb(0, 200, 0)).size();
  EXPECT_GT(glyph_pixels, 20u);
  EXPECT_EQ(lit(s, blue).size() + glyph_pixels, s.pixels.size());  // no background painted
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      const bool in_cell = x >= 2 && x < 2 + 3 * font_advance && y >= 1 && y < 1 + font_height;
      if (!in_cell) {
        EXPECT_EQ(surface_pixel(s, x, y), blue) << x << "," << y;
      }
    }
  }

  // Every digit and the minus sign has a glyph, and no two look alike.
  std::vector<std::vector<uint32_t>> seen;
  for (char ch : std::string("0123456789-")) {
    Surface g = make(font_advance, font_height);
    surface_text(g, 0, 0, std::string(1, ch));
    EXPECT_FALSE(lit(g, rgb(0, 200, 0)).empty()) << ch;
    for (const auto& other : seen) EXPECT_NE(g.pixels, other) << ch;
    seen.push_back(g.pixels);
  }
}
