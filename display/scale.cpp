#include "display/scale.h"

#include <cstdio>

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

void labelled_tick(DisplayState& d, int x, int32_t label) {
  Surface& s = d.scale_surface;
  const int r = d.waterfall_row;
  char text[16];
  std::snprintf(text, sizeof text, "%d", label);
  const int w = surface_text_width(text);
  surface_text(s, x - w / 2, r - 40 + d.label_line_height, text);
  surface_move(s, x, r - 30);
  surface_line(s, x, r - 13);
}

// Label arithmetic wraps as 32-bit integers.
int32_t offset_frequency(int32_t f, int32_t d) {
  return static_cast<int32_t>(static_cast<uint32_t>(f) + static_cast<uint32_t>(d));
}

}  // namespace

int scale_offset_columns(const Variant& variant, int32_t d) {
  return static_cast<int>(static_cast<double>(d) * variant.scale_pixels_per_hz);
}

void draw_scale(DisplayState& d, int32_t frequency) {
  const Variant& v = *d.variant;
  const int r = d.waterfall_row;
  surface_clear(d.scale_surface, 0, 0, surface_width, surface_height);
  for (int32_t off = 0; off < v.scale_half_span; off += minor_step) {
    tick_pair(d, scale_offset_columns(v, off), r - 28, r - 23);
  }
  for (int32_t off = 0; off < v.scale_half_span; off += medium_step) {
    tick_pair(d, scale_offset_columns(v, off), r - 28, r - 18);
  }
  for (int32_t off = 0; off < v.scale_half_span; off += label_step) {
    const int p = scale_offset_columns(v, off);
    labelled_tick(d, centre_column + p, offset_frequency(frequency, off));
    labelled_tick(d, centre_column - p, offset_frequency(frequency, -off));
  }
  surface_copy(d.frame_surface, 0, 0, surface_width, r, d.scale_surface, 0, 0);
}
