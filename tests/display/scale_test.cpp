#include "display/scale.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "display/display_state.h"

namespace {

std::unique_ptr<DisplayState> fresh(const Variant& v) {
  auto d = std::make_unique<DisplayState>();
  d->variant = &v;
  display_make_surfaces(*d);
  return d;
}

std::set<int> columns_on_row(const Surface& s, int row, uint32_t colour) {
  std::set<int> columns;
  for (int x = 0; x < s.width; ++x)
    if (surface_pixel(s, x, row) == colour) columns.insert(x);
  return columns;
}

// The scale rebuilt from its published geometry: tick columns as integer quotients,
// labelled columns as listed, labels centred by half their width.
Surface reference_scale(const Variant& v, int32_t f, const std::vector<int>& label_columns,
                        int stride = 1) {
  Surface s;
  surface_make(s, 1024, 300, line_pen_colour, label_colour);
  auto tick = [&](int x, int from, int to) {
    surface_move(s, x, from);
    surface_line(s, x, to);
  };
  const long long rate = static_cast<long long>(v.scale_half_span) * 2;
  for (long long d = 0; d < v.scale_half_span; d += 1000) {
    const int p = static_cast<int>(d * 1024 / rate);
    tick(512 + p, 107, 112);
    tick(512 - p, 107, 112);
  }
  for (long long d = 0; d < v.scale_half_span; d += 5000) {
    const int p = static_cast<int>(d * 1024 / rate);
    tick(512 + p, 107, 117);
    tick(512 - p, 107, 117);
  }
  // label_columns: centre, then right/left pairs going out.
  for (size_t k = 0; k < label_columns.size(); ++k) {
    const int x = label_columns[k];
    const long long offset = static_cast<long long>((k + 1) / 2) * 100000 * (k % 2 == 1 ? 1 : -1);
    const std::string text = std::to_string(static_cast<int32_t>(f + offset));
    // The centre label is drawn twice, both times before its tick.
    int text_times = k == 0 ? 2 : 1;
    if (static_cast<int>((k + 1) / 2) % stride != 0) text_times = 0;
    for (int times = text_times; times > 0; --times)
      surface_text(s, x - surface_text_width(text) / 2, 95 + 16, text);
    tick(x, 105, 122);
  }
  return s;
}

}  // namespace

TEST(Scale, Rxiq12TicksAndLabelsSitWhereTheGeometrySays) {
  auto d = fresh(rxiq12_variant);
  EXPECT_EQ(d->label_line_height, 16);
  EXPECT_EQ(scale_offset_columns(rxiq12_variant, 75000), 64);
  draw_scale(*d, 145725000);
  const Surface& s = d->scale_surface;

  // Minor ticks fill columns 1-1023; column 0 has none.
  std::set<int> minor = columns_on_row(s, 109, line_pen_colour);
  EXPECT_EQ(minor.size(), 1023u);
  EXPECT_FALSE(minor.count(0));
  // Medium ticks reach 5-1019; labelled ticks stand alone above them.
  std::set<int> medium = columns_on_row(s, 114, line_pen_colour);
  EXPECT_EQ(*medium.begin(), 5);
  EXPECT_EQ(*medium.rbegin(), 1019);
  const std::vector<int> labelled = {512, 597, 427, 682, 342, 768, 256, 853, 171, 938, 86};
  EXPECT_EQ(columns_on_row(s, 105, line_pen_colour), std::set<int>(labelled.begin(), labelled.end()));
  EXPECT_EQ(columns_on_row(s, 121, line_pen_colour).size(), 11u);
  EXPECT_TRUE(columns_on_row(s, 104, line_pen_colour).empty());
  EXPECT_TRUE(columns_on_row(s, 122, line_pen_colour).empty());

  // Pixel for pixel, labels 145725000 at the centre out to 146225000 and 145225000.
  const Surface expected = reference_scale(rxiq12_variant, 145725000, {512, 597, 427, 682, 342, 768, 256, 853, 171, 938, 86});
  EXPECT_EQ(s.pixels, expected.pixels);

  // Only the top 135 rows reach the frame surface.
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 1024; x += 7)
      ASSERT_EQ(surface_pixel(d->frame_surface, x, y), y < 135 ? surface_pixel(s, x, y) : 0u);
}

TEST(Scale, Rxiq24SpansTwiceTheBand) {
  auto d = fresh(rxiq24_variant);
  draw_scale(*d, 433000000);
  const Surface& s = d->scale_surface;
  EXPECT_EQ(columns_on_row(s, 109, line_pen_colour).size(), 1023u);
  std::set<int> medium = columns_on_row(s, 114, line_pen_colour);
  EXPECT_EQ(*medium.begin(), 3);
  EXPECT_EQ(*medium.rbegin(), 1021);
  const std::vector<int> labelled = {512, 554, 470, 597, 427, 640, 384, 682, 342, 725, 299, 768,
                                     256, 810, 214, 853, 171, 896, 128, 938, 86,  981, 43};
  EXPECT_EQ(columns_on_row(s, 105, line_pen_colour), std::set<int>(labelled.begin(), labelled.end()));
  // 24 labels 42 columns apart would overlap: every second one, counted from the
  // centre, keeps its text, and green columns come in separate runs with gaps between.
  EXPECT_EQ(s.pixels, reference_scale(rxiq24_variant, 433000000, labelled, 2).pixels);
  std::set<int> green;
  for (int y = 111; y < 124; ++y)
    for (int x : columns_on_row(s, y, label_colour)) green.insert(x);
  int runs = 0;  // a run starts after a blank wider than one character
  for (int x : green) {
    bool after_gap = true;
    for (int g = 1; g <= 8; ++g) after_gap = after_gap && !green.count(x - g);
    runs += after_gap;
  }
  EXPECT_EQ(runs, 11);  // the centre and five on each side (the outermost clipped in part)
}

TEST(Scale, LabelStrideLeavesAGapBetweenLabels) {
  EXPECT_EQ(label_stride(85, 72, 8), 1);  // rxiq12: 85 columns apart, 9 digits of 8
  EXPECT_EQ(label_stride(42, 72, 8), 2);  // rxiq24
  EXPECT_EQ(label_stride(42, 88, 8), 3);  // longer labels, such as 1234567890
  EXPECT_EQ(label_stride(0, 72, 8), 1);
}

TEST(Scale, LowFrequenciesGiveNegativeLabelsAndARedrawClearsTheOldOnes) {
  auto d = fresh(rxiq12_variant);
  draw_scale(*d, 145725000);
  draw_scale(*d, 300000);  // left side: 200000, 100000, 0, -100000, -200000
  const std::vector<int> labelled = {512, 597, 427, 682, 342, 768, 256, 853, 171, 938, 86};
  EXPECT_EQ(d->scale_surface.pixels, reference_scale(rxiq12_variant, 300000, labelled).pixels);

}
