#include "display/scale.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "display/display_state.h"

namespace {

constexpr int centre_column = surface_width / 2;
constexpr int32_t minor_step = 1000;
constexpr int32_t medium_step = 5000;
constexpr int32_t label_step = 100000;

// One tick on each side of the centre, right first.
void tick_pair(DisplayState& d, int p, int from_row, int to_row) {
  Surface& s = d.scale_surface;
  surface_move(s, centre_column + p, from_row);
  surface_line(s, centre_column + p, to_row);
  surface_move(s, centre_column - p, from_row);
  surface_line(s, centre_column - p, to_row);
}

void labelled_tick(DisplayState& d, int x, int step, int32_t label, bool with_text) {
  Surface& s = d.scale_surface;
  const int r = d.waterfall_row;
  char text[16];
  std::snprintf(text, sizeof text, "%d", label);
  if (with_text) {
    const int w = surface_text_width(text);
    surface_text(s, x - w / 2, r - 40 + d.label_line_height, text);
  }
  // The centre label is drawn twice but listed once.
  if (step != 0 || d.scale_labels.empty()) {
    BlocksLabel& listed = d.scale_labels.emplace_back();
    listed.x = x;
    listed.step = step;
    std::memcpy(listed.text, text, sizeof listed.text);
  }
  surface_move(s, x, r - 30);
  surface_line(s, x, r - 13);
}

// Label arithmetic wraps as 32-bit integers.
int32_t offset_frequency(int32_t f, int32_t d) {
  return static_cast<int32_t>(static_cast<uint32_t>(f) + static_cast<uint32_t>(d));
}

int label_width(int32_t label) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", label);
  return surface_text_width(text);
}

}  // namespace

int label_stride(int spacing, int widest, int gap) {
  if (spacing <= 0) return 1;
  return std::max(1, (widest + gap + spacing - 1) / spacing);
}

int scale_offset_columns(const Variant& variant, int32_t d) {
  return static_cast<int>(static_cast<double>(d) * (static_cast<double>(surface_width) / variant.sample_rate));
}

void draw_scale(DisplayState& d, int32_t frequency) {
  const Variant& v = *d.variant;
  const int r = d.waterfall_row;
  surface_clear(d.scale_surface, 0, 0, surface_width, surface_height);
  d.scale_labels.clear();
  for (int32_t off = 0; off < v.scale_half_span; off += minor_step) {
    tick_pair(d, scale_offset_columns(v, off), r - 28, r - 23);
  }
  for (int32_t off = 0; off < v.scale_half_span; off += medium_step) {
    tick_pair(d, scale_offset_columns(v, off), r - 28, r - 18);
  }
  // Labels closer than their width would run into one another (rxiq24's band): then
  // only every n-th one counted from the centre gets its text; every tick stays.
  int widest = 0;
  for (int32_t off = 0; off < v.scale_half_span; off += label_step) {
    widest = std::max({widest, label_width(offset_frequency(frequency, off)),
                       label_width(offset_frequency(frequency, -off))});
  }
  const int stride = label_stride(scale_offset_columns(v, label_step), widest, font_advance);
  for (int32_t off = 0, k = 0; off < v.scale_half_span; off += label_step, ++k) {
    const int p = scale_offset_columns(v, off);
    const bool with_text = k % stride == 0;
    labelled_tick(d, centre_column + p, k, offset_frequency(frequency, off), with_text);
    labelled_tick(d, centre_column - p, -k, offset_frequency(frequency, -off), with_text);
  }
  surface_copy(d.frame_surface, 0, 0, surface_width, r, d.scale_surface, 0, 0);
}
