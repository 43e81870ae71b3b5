#include "dsp/fft.h"

#include <cmath>
#include <utility>

namespace {
constexpr double pi = 3.141592653589793;
}

void fft_radix2(float* re, float* im, int32_t m) {
  if (m < 1) return;
  const int32_t n = int32_t{1} << m;

  for (int32_t stage = m; stage >= 1; --stage) {
    const int32_t le = int32_t{1} << stage;
    const int32_t le1 = le / 2;
    const float wr = static_cast<float>(std::cos(pi / le1));
    const float wi = static_cast<float>(-std::sin(pi / le1));
    // The running twiddle: its real part is kept in float, its imaginary part in
    // double; this mix fixes the exact output bits.
    float ur = 1.0f;
    double ui = 0.0;
    for (int32_t o = 0; o < le1; ++o) {
      for (int32_t p = o; p < n; p += le) {
        const int32_t q = p + le1;
        const double dr = static_cast<double>(re[p]) - re[q];
        const double di = static_cast<double>(im[p]) - im[q];
        re[p] = static_cast<float>(static_cast<double>(re[p]) + re[q]);
        im[p] = static_cast<float>(static_cast<double>(im[p]) + im[q]);
        re[q] = static_cast<float>(dr * ur - di * ui);
        im[q] = static_cast<float>(di * ur + dr * ui);
      }
      const double next_ur = static_cast<double>(wr) * ur - wi * ui;
      ui = ui * wr + static_cast<double>(wi) * ur;
      ur = static_cast<float>(next_ur);
    }
  }

  // Bit reversal with 1-based counters, each index exchanged with its reversal once.
  int32_t j = 1;
  for (int32_t i = 1; i < n; ++i) {
    if (i < j) {
      std::swap(re[i - 1], re[j - 1]);
      std::swap(im[i - 1], im[j - 1]);
    }
    int32_t k = n / 2;
    while (k >= 1 && k < j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
}
