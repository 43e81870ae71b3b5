#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int n = 1024;

TEST(FftRadix2, DesignedCases) {
  float re0[1] = {3.0f}, im0[1] = {4.0f};
  fft_radix2(re0, im0, 0);
  EXPECT_EQ(re0[0], 3.0f);
  EXPECT_EQ(im0[0], 4.0f);
  float re1[2] = {1, 2}, im1[2] = {0, 0};
  fft_radix2(re1, im1, 1);
  EXPECT_EQ(std::vector<float>(re1, re1 + 2), (std::vector<float>{3, -1}));
  EXPECT_EQ(std::vector<float>(im1, im1 + 2), (std::vector<float>{0, 0}));
  float re2[4] = {1, 2, 3, 4}, im2[4] = {0, 0, 0, 0};
  fft_radix2(re2, im2, 2);
  const float want_re[4] = {10, -2, -2, -2}, want_im[4] = {0, 2, 0, -2};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(re2[k], want_re[k], 1e-6) << k;
    EXPECT_NEAR(im2[k], want_im[k], 1e-6) << k;
  }

  std::vector<float> re(n, 1.0f), im(n, 0.0f);
  fft_radix2(re.data(), im.data(), 10);
  EXPECT_EQ(re[0], 1024.0f);
  re[0] = 0.0f;
  EXPECT_EQ(re, std::vector<float>(n, 0.0f));
  EXPECT_EQ(im, std::vector<float>(n, 0.0f));
  re[0] = 1.0f;  // an impulse
  fft_radix2(re.data(), im.data(), 10);
  EXPECT_EQ(re, std::vector<float>(n, 1.0f));
  EXPECT_EQ(im, std::vector<float>(n, 0.0f));

  // A tone at +5 bins peaks at 5; reversing the sign of im moves it to 1,019.
  for (float sign : {1.0f, -1.0f}) {
    for (int t = 0; t < n; ++t) {
      re[t] = static_cast<float>(std::cos(2 * M_PI * 5 * t / n));
      im[t] = sign * static_cast<float>(std::sin(2 * M_PI * 5 * t / n));
    }
    fft_radix2(re.data(), im.data(), 10);
    const int peak = sign > 0 ? 5 : n - 5;
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(std::hypot(re[k], im[k]), k == peak ? 1024.0 : 0.0, 0.01) << k;
    }
  }
}

TEST(FftRadix2, RandomInputAgainstDirectTransform) {
  std::mt19937 rng(1024);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<long double> cos_table(n), sin_table(n);
  for (int k = 0; k < n; ++k) {
    const long double angle = 2.0L * 3.141592653589793238462643383279502884L * k / n;
    cos_table[k] = std::cos(angle);
    sin_table[k] = std::sin(angle);
  }
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<float> re(n), im(n);
    for (int t = 0; t < n; ++t) {
      re[t] = dist(rng);
      im[t] = dist(rng);
    }
    const std::vector<float> x_re = re, x_im = im;
    fft_radix2(re.data(), im.data(), 10);
    for (int k = 0; k < n; ++k) {
      long double sum_re = 0, sum_im = 0;
      for (int t = 0; t < n; ++t) {
        const int index = (k * t) % n;  // e^(-i 2 pi k t / n)
        sum_re += x_re[t] * cos_table[index] + x_im[t] * sin_table[index];
        sum_im += x_im[t] * cos_table[index] - x_re[t] * sin_table[index];
      }
      ASSERT_NEAR(re[k], static_cast<double>(sum_re), 1e-3) << "trial " << trial << " bin " << k;
      ASSERT_NEAR(im[k], static_cast<double>(sum_im), 1e-3) << "trial " << trial << " bin " << k;
    }
  }
}

}  // namespace
