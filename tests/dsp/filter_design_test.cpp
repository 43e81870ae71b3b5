#include "dsp/filter_design.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

int32_t ulp_distance(float a, float b) {
  int32_t ia, ib;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  if ((ia < 0) != (ib < 0)) return a == b ? 0 : INT32_MAX;
  return ia > ib ? ia - ib : ib - ia;
}

TEST(DesignBandpass, FiveTapShapes) {
  float in_phase[5];
  design_bandpass(in_phase, 5, 0, 0.0f, 0.25f);
  EXPECT_NEAR(in_phase[0], 1.6e-18, 1e-19);
  EXPECT_NEAR(in_phase[1], 0.171887, 1e-6);
  EXPECT_EQ(in_phase[2], 0.5f);  // centre: the small-argument rule gives exactly 1.0
  EXPECT_NEAR(in_phase[3], 0.171887, 1e-6);
  EXPECT_NEAR(in_phase[4], 1.6e-18, 1e-19);

  float quadrature[5];
  design_bandpass(quadrature, 5, 1, 0.0f, 0.25f);
  EXPECT_NEAR(quadrature[0], 0.0254648, 1e-7);
  EXPECT_NEAR(quadrature[1], 0.171887, 1e-6);
  EXPECT_EQ(quadrature[2], 0.0f);
  EXPECT_TRUE(std::signbit(quadrature[2]));  // the negated zero of the centre tap
  EXPECT_NEAR(quadrature[3], -0.171887, 1e-6);
  EXPECT_NEAR(quadrature[4], -0.0254648, 1e-7);
}

TEST(DesignBandpass, ReceiverLowPass) {
  float coef[256];
  design_bandpass(coef, 256, 0, 0.0f, 0.02f);
  double sum = 0.0;
  for (float c : coef) sum += c;
  EXPECT_NEAR(sum, 1.0023, 5e-5);
  EXPECT_NEAR(coef[127], 0.0399723, 1e-7);
  EXPECT_NEAR(coef[128], 0.0399723, 1e-7);
  EXPECT_NEAR(coef[0], -0.0000617, 1e-7);
  EXPECT_NEAR(coef[255], -0.0000617, 1e-7);

  // The window runs on the float-rounded step, so mirrored taps agree only to a few
  // units in the last place; a design that forces symmetry would show no difference.
  int32_t worst = 0;
  for (int i = 0; i < 128; ++i) worst = std::max(worst, ulp_distance(coef[i], coef[255 - i]));
  EXPECT_LE(worst, 10);
  EXPECT_GT(worst, 0);

  // A zero lower edge contributes nothing: a tiny nonzero one changes the taps.
  float shifted[256];
  design_bandpass(shifted, 256, 0, 1e-6f, 0.02f);
  EXPECT_NE(std::memcmp(coef, shifted, sizeof coef), 0);
}

TEST(DesignBandpass, NonPositiveTapCountWritesNothing) {
  float out[4] = {7.0f, 7.0f, 7.0f, 7.0f};
  EXPECT_EQ(design_bandpass(out, 0, 0, 0.0f, 0.25f), out);
  EXPECT_EQ(design_bandpass(out, -3, 1, 0.0f, 0.25f), out);
  for (float v : out) EXPECT_EQ(v, 7.0f);
}

}  // namespace
