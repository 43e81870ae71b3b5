#include "display/palette.h"

#include <algorithm>

#include "display/surface.h"

namespace {

// k x f in double precision, truncated toward zero.
int scaled(int k, double f) { return static_cast<int>(static_cast<double>(k) * f); }

}  // namespace

void build_waterfall_palette(uint32_t* palette) {
  // Segments are filled top down. The red ramp of 35-99 would pass 255 at 70; it stops
  // there, so that strong signals stay the brightest red rather than wrapping to black.
  for (int n = 100; n < palette_size; ++n) palette[n] = rgb(255, 0, 0);
  for (int n = 35; n <= 99; ++n) {
    const int k = n - 35;
    palette[n] = rgb(std::min(255, 173 + scaled(k, 17.0 / 7.0)), 0, 0);
  }
  for (int n = 5; n <= 34; ++n) {
    const int k = n - 5;
    palette[n] = rgb(139 + scaled(k, 104.0 / 45.0), 136 + scaled(k, 101.0 / 45.0),
                     43 + scaled(k, 32.0 / 45.0));
  }
  for (int n = 0; n <= 4; ++n) {
    const int k = n;
    palette[n] = rgb(15 + scaled(k, 6.6), 4 + scaled(k, 1.8), 63 + 32 * k);
  }
}
