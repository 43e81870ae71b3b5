#include "dsp/fir_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dsp/filter_design.h"

namespace {

// Output k (1-based push count, multiple of decimation) from an unbounded history of
// zeros followed by the pushed samples.
float unbounded_output(const std::vector<float>& samples, const float* coef, int taps, size_t k) {
  double sum = 0.0;
  for (int j = 0; j < taps; ++j) {
    const long index = static_cast<long>(k) - taps + j;  // 1-based sample number
    const float sample = index >= 1 ? samples[static_cast<size_t>(index - 1)] : 0.0f;
    sum += static_cast<double>(coef[j]) * sample;
  }
  return static_cast<float>(sum);
}

void check_against_unbounded(int taps, int decimation, int pushes) {
  auto filter = std::make_unique<FirFilter>();
  fir_init(*filter, taps, decimation, 0.0f, 0.02f, 0, 1);
  std::mt19937 rng(taps);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> si, sq;
  int outputs = 0;
  for (int k = 1; k <= pushes; ++k) {
    si.push_back(dist(rng));
    sq.push_back(dist(rng));
    float out[2] = {};
    const int32_t produced = fir_push(*filter, si.back(), sq.back(), out);
    ASSERT_EQ(produced, k % decimation == 0 ? 1 : 0) << k;
    if (!produced) continue;
    ++outputs;
    ASSERT_EQ(out[0], unbounded_output(si, filter->coef_i, taps, k)) << "push " << k;
    ASSERT_EQ(out[1], unbounded_output(sq, filter->coef_q, taps, k)) << "push " << k;
  }
  EXPECT_EQ(outputs, pushes / decimation);
}

TEST(FirFilter, CompactionIsInvisible) {
  check_against_unbounded(256, 25, 10000);  // compactions after pushes 3,840 and 7,680
  check_against_unbounded(3000, 7, 10000);  // overlapping move when taps exceed half the capacity
  check_against_unbounded(4, 1, 9000);
}

TEST(FirFilter, ReceiverConfiguration) {
  auto filter = std::make_unique<FirFilter>();
  EXPECT_EQ(fir_init_channel(*filter, rxiq12_variant), 1);
  float expected[256];
  design_bandpass(expected, 256, 0, 0.0f, 0.02f);
  ASSERT_EQ(std::memcmp(filter->coef_i, expected, sizeof expected), 0);
  auto other = std::make_unique<FirFilter>();
  fir_init_channel(*other, rxiq24_variant);
  EXPECT_EQ(std::memcmp(filter->coef_q, other->coef_q, sizeof expected), 0);

  // Pushes 1..24 give nothing and leave out alone; push 25 sees samples 1..24 on
  // coefficients 232..255, and not its own sample.
  float out[2] = {-5.0f, -5.0f};
  for (int k = 1; k <= 24; ++k) ASSERT_EQ(fir_push(*filter, 1.0f, -2.0f, out), 0);
  EXPECT_EQ(out[0], -5.0f);
  ASSERT_EQ(fir_push(*filter, 1000.0f, 1000.0f, out), 1);
  const std::vector<float> ones(24, 1.0f);
  EXPECT_EQ(out[0], static_cast<float>(dot_product(expected + 232, ones.data(), 24)));
  EXPECT_EQ(out[1], -2.0f * out[0]);

  // Once the window is full of 1.0, the output is the coefficient sum.
  for (int k = 0; k < 300; ++k) fir_push(*filter, 1.0f, 1.0f, out);
  for (int k = 0; k < 25; ++k) {
    if (fir_push(*filter, 1.0f, 1.0f, out)) break;
  }
  EXPECT_NEAR(out[0], 1.0023, 5e-5);
  EXPECT_EQ(out[0], out[1]);
}

TEST(FirFilter, DecimationOneAndDotProduct) {
  auto filter = std::make_unique<FirFilter>();
  fir_init(*filter, 8, 1, 0.0f, 0.1f, 0, 0);
  float out[2] = {9.0f, 9.0f};
  ASSERT_EQ(fir_push(*filter, 1.0f, 1.0f, out), 1);
  EXPECT_EQ(out[0], 0.0f);  // the first push's own sample is not yet in the window
  EXPECT_EQ(out[1], 0.0f);
  ASSERT_EQ(fir_push(*filter, 0.0f, 0.0f, out), 1);
  EXPECT_EQ(out[0], filter->coef_i[7]);

  const float a[3] = {1e8f, 1.0f, -1e8f};
  const float b[3] = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(dot_product(a, b, 0), 0.0);
  EXPECT_EQ(dot_product(a, b, 3), 1.0);  // double accumulation keeps the small term
}

}  // namespace
