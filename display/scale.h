// The frequency scale across the top of the picture.
#pragma once

#include <cstdint>

struct DisplayState;
struct Variant;

// Columns from the centre column for an offset of d Hz: d x pixels-per-Hz, truncated.
int scale_offset_columns(const Variant& variant, int32_t d);

// Labels spacing columns apart, the widest widest columns: draw every n-th so that at
// least gap columns stay between two; n is 1 where they fit.
int label_stride(int spacing, int widest, int gap);

// Draws ticks and labels around frequency into scale_surface and copies its top
// waterfall_row rows onto frame_surface.
void draw_scale(DisplayState& d, int32_t frequency);
