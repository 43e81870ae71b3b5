#include "dsp/fir_filter.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

// Every output against an unbounded history (zeros before the first push), bit for bit.
void check_against_unbounded(int taps, int decimation, int pushes) {
  auto filter = std::make_unique<FirFilter>();
  fir_init(*filter, taps, decimation, 0.0f, 0.02f, 0, 1);  // different I and Q taps
  std::mt19937 rng(taps);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> si(static_cast<size_t>(taps), 0.0f), sq = si;
  for (int k = 1; k <= pushes; ++k) {
    si.push_back(dist(rng));
    sq.push_back(dist(rng));
    float out[2] = {};
    ASSERT_EQ(fir_push(*filter, si.back(), sq.back(), out), k % decimation == 0 ? 1 : 0) << k;
    if (k % decimation != 0) continue;
    // The window is the `taps` samples before push k, ending just before it.
    const size_t end = si.size() - 1;
    ASSERT_EQ(out[0], static_cast<float>(dot_product(&si[end - taps], filter->coef_i, taps))) << k;
    ASSERT_EQ(out[1], static_cast<float>(dot_product(&sq[end - taps], filter->coef_q, taps))) << k;
  }
}

TEST(FirFilter, CompactionIsInvisible) {
  check_against_unbounded(256, 25, 10000);  // compactions after pushes 3,840 and 7,680
  check_against_unbounded(3000, 7, 10000);  // overlapping move: taps above half the capacity
  check_against_unbounded(4, 1, 9000);
}

TEST(FirFilter, ReceiverConfiguration) {
  auto filter = std::make_unique<FirFilter>();
  EXPECT_EQ(fir_init_channel(*filter, rxiq12_variant), 1);
  auto other = std::make_unique<FirFilter>();
  fir_init_channel(*other, rxiq24_variant);
  EXPECT_EQ(std::vector<float>(filter->coef_q, filter->coef_q + 256), std::vector<float>(other->coef_q, other->coef_q + 256));

  // Pushes 1..24 give nothing and leave out alone; push 25 sees samples 1..24 on
  // coefficients 232..255, and not its own sample.
  float out[2] = {-5.0f, -5.0f};
  for (int k = 1; k <= 24; ++k) ASSERT_EQ(fir_push(*filter, 1.0f, -2.0f, out), 0);
  EXPECT_EQ(out[0], -5.0f);
  ASSERT_EQ(fir_push(*filter, 1000.0f, 1000.0f, out), 1);
  const std::vector<float> ones(24, 1.0f);
  EXPECT_EQ(out[0], static_cast<float>(dot_product(filter->coef_i + 232, ones.data(), 24)));
  EXPECT_EQ(out[1], -2.0f * out[0]);

  for (int k = 0; k < 300; ++k) fir_push(*filter, 1.0f, 1.0f, out);
  while (fir_push(*filter, 1.0f, 1.0f, out) == 0) {
  }
  EXPECT_NEAR(out[0], 1.0023, 5e-5);  // a full window of 1.0 gives the coefficient sum
  EXPECT_EQ(dot_product(out, out, 0), 0.0);
  const float big[3] = {1e8f, 1.0f, -1e8f}, unit[3] = {1.0f, 1.0f, 1.0f};
  EXPECT_EQ(dot_product(big, unit, 3), 1.0);  // the sum is carried in double
}

}  // namespace
