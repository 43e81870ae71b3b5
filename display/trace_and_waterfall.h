// The spectrum trace over the scale band and the scrolling waterfall below it.
#pragma once

#include <cstdint>

struct DisplayState;
struct RxState;
struct Surface;

// Magnitude of one bin, sqrt(re^2 + im^2) in double precision, truncated. A value
// that is not a number or beyond the 32-bit range counts as the largest magnitude.
int32_t bin_magnitude(float re, float im);

// The columns of frame_surface shown on the terminal for view_width: all 1,024 from
// 0, or view_width of them centred on column 512.
struct ViewColumns {
  int first;
  int count;
};
ViewColumns view_columns(int view_width);

// One pass of the display loop: if a new spectrum is ready, copies it out of the
// hand-over, composes the picture (redrawing the scale after a retune), presents it
// and clears spectrum_ready.
void display_frame(DisplayState& d, const RxState& state);

// Scrolls the waterfall, draws the trace and the new waterfall line of the 1,024 bins
// re, im onto surface, marks the centre and presents the picture.
void draw_spectrum(DisplayState& d, Surface& surface, const float* re, const float* im);
