#include "display/trace_and_waterfall.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/rx_state.h"
#include "display/display_state.h"
#include "display/scale.h"

namespace {

constexpr int centre_column = surface_width / 2;
constexpr int baseline_above_waterfall = 31;

uint32_t bin_colour(const DisplayState& d, int32_t m) {
  return d.waterfall_palette[m > palette_size - 1 ? palette_size - 1 : m];
}

// One half of the trace: bins first..first+511 at columns column0..column0+511.
void draw_half(DisplayState& d, Surface& s, const float* re, const float* im, int first,
               int column0) {
  const int r = d.waterfall_row;
  const int baseline = r - baseline_above_waterfall;
  for (int k = 0; k < spectrum_size / 2; ++k) {
    const int i = first + k;
    const int x = column0 + k;
    const int32_t m = bin_magnitude(re[i], im[i]);
    if (k == 0) {
      surface_move(s, x, baseline);
    } else {
      // baseline - m cannot overflow: m is at most 2^31 - 1 and baseline is small.
      surface_line(s, x, baseline - m);
    }
    surface_set_pixel(s, x, r, bin_colour(d, m));
  }
}

}  // namespace

int32_t bin_magnitude(float re, float im) {
  const double a = re, b = im;
  const double m = std::sqrt(a * a + b * b);
  // A converted value outside int32 would be undefined; such bins (and NaN) count as
  // the strongest, which the palette and the clipping already handle.
  if (!(m < 2147483648.0)) return INT32_MAX;
  return static_cast<int32_t>(m);
}

ViewColumns view_columns(int view_width) {
  if (view_width >= surface_width) return {0, surface_width};
  if (view_width <= 0) return {centre_column, 0};
  return {centre_column - view_width / 2, view_width};
}

void display_frame(DisplayState& d, const RxState& state) {
  if (!d.spectrum || d.spectrum->spectrum_ready.load(std::memory_order_acquire) == 0) return;
  // A transform being overwritten during every attempt is left for the next pass.
  if (!spectrum_copy(*d.spectrum, d.spectrum_re, d.spectrum_im)) return;
  const int r = d.waterfall_row;
  surface_copy(d.frame_surface, 0, 0, surface_width, r, d.scale_surface, 0, 0);
  const int32_t f = state.frequency.load(std::memory_order_relaxed);
  if (!d.have_last_frequency) {
    d.have_last_frequency = true;
    d.last_frequency = f;
  }
  if (f != d.last_frequency) {
    d.last_frequency = f;
    draw_scale(d, f);
  }
  draw_spectrum(d, d.frame_surface, d.spectrum_re, d.spectrum_im);
  d.spectrum->spectrum_ready.store(0, std::memory_order_release);
}

void draw_spectrum(DisplayState& d, Surface& s, const float* re, const float* im) {
  const int r = d.waterfall_row;
  surface_copy(s, 0, r + 1, surface_width, d.waterfall_depth, s, 0, r);
  draw_half(d, s, re, im, 0, centre_column);
  draw_half(d, s, re, im, spectrum_size / 2, 0);
  surface_set_pixel(s, centre_column, r, centre_mark_colour);
  if (d.presenting) {
    const ViewColumns view = view_columns(d.view_width);
    // Label columns as seen in the part of the picture that is shown.
    thread_local std::vector<BlocksLabel> labels;
    labels.assign(d.scale_labels.begin(), d.scale_labels.end());
    for (BlocksLabel& label : labels) label.x -= view.first;
    presenter_submit(d.presenter, s.pixels.data() + view.first, s.width, view.count,
                     std::min(d.view_height, window_copy_height), labels.data(),
                     static_cast<int>(labels.size()));
  }
}
