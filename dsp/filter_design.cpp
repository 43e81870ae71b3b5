#include "dsp/filter_design.h"

#include <cmath>

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr double tiny_argument = 1e-10;

double sinc(double x) {
  if (std::fabs(x) < tiny_argument) return 1.0;
  return std::sin(pi * x) / (pi * x);
}

double cosc(double x) {
  if (std::fabs(x) < tiny_argument) return 0.0;
  return (1.0 - std::cos(pi * x)) / (pi * x);
}

}  // namespace

float* design_bandpass(float* out, int32_t taps, int32_t quadrature, float low_edge, float high_edge) {
  if (taps <= 0) return out;
  const double centre = (taps - 1) * 0.5;
  // The window deliberately uses the step rounded to float, not the exact quotient;
  // this is why mirrored taps can differ in their last bits.
  const float step = static_cast<float>(1.0 / (taps - 1));
  const double high = high_edge;
  const double low = low_edge;
  for (int32_t i = 0; i < taps; ++i) {
    const float t = static_cast<float>(i - centre);
    const double w = 0.54 - 0.46 * std::cos(static_cast<double>(i) * step * two_pi);
    const double x1 = 2.0 * t * high;
    const double x2 = 2.0 * t * low;
    double coefficient;
    if (quadrature == 0) {
      coefficient = w * (2.0 * high * sinc(x1) - 2.0 * low * sinc(x2));
    } else {
      coefficient = -(w * (2.0 * high * cosc(x1) - 2.0 * low * cosc(x2)));
    }
    out[i] = static_cast<float>(coefficient);
  }
  return out;
}
