#include "display/palette.h"

#include <gtest/gtest.h>

#include "display/surface.h"

TEST(Palette, EveryEntryMatchesItsSegment) {
  uint32_t palette[palette_size];
  for (uint32_t& c : palette) c = 0xDEADBEEF;
  build_waterfall_palette(palette);

  const int low[5][3] = {{15, 4, 63}, {21, 5, 95}, {28, 7, 127}, {34, 9, 159}, {41, 11, 191}};
  for (int n = 0; n < 5; ++n) EXPECT_EQ(palette[n], rgb(low[n][0], low[n][1], low[n][2])) << n;

  const int pale[30][3] = {
      {139, 136, 43}, {141, 138, 43}, {143, 140, 44}, {145, 142, 45}, {148, 144, 45},
      {150, 147, 46}, {152, 149, 47}, {155, 151, 47}, {157, 153, 48}, {159, 156, 49},
      {162, 158, 50}, {164, 160, 50}, {166, 162, 51}, {169, 165, 52}, {171, 167, 52},
      {173, 169, 53}, {175, 171, 54}, {178, 174, 55}, {180, 176, 55}, {182, 178, 56},
      {185, 180, 57}, {187, 183, 57}, {189, 185, 58}, {192, 187, 59}, {194, 189, 60},
      {196, 192, 60}, {199, 194, 61}, {201, 196, 62}, {203, 198, 62}, {206, 201, 63}};
  for (int n = 5; n < 35; ++n)
    EXPECT_EQ(palette[n], rgb(pale[n - 5][0], pale[n - 5][1], pale[n - 5][2])) << n;

  // The red of 35-99 climbs to 255 and stays there: a stronger signal is never darker.
  const int reds[35] = {173, 175, 177, 180, 182, 185, 187, 190, 192, 194, 197, 199,
                        202, 204, 207, 209, 211, 214, 216, 219, 221, 223, 226, 228,
                        231, 233, 236, 238, 241, 243, 245, 248, 250, 253, 255};
  for (int n = 35; n < 70; ++n) EXPECT_EQ(palette[n], rgb(reds[n - 35], 0, 0)) << n;
  for (int n = 70; n < 100; ++n) EXPECT_EQ(palette[n], rgb(255, 0, 0)) << n;
  for (int n = 36; n < palette_size; ++n) {
    EXPECT_GE(palette[n] & 0xFF, palette[n - 1] & 0xFF) << "red falls at " << n;
  }
  for (int n = 100; n < palette_size; ++n) ASSERT_EQ(palette[n], 255u) << n;

  // The probes, with bits 24-31 always zero.
  EXPECT_EQ(palette[56], rgb(223, 0, 0));
  EXPECT_EQ(palette[69], rgb(255, 0, 0));
  EXPECT_EQ(palette[70], rgb(255, 0, 0));
  EXPECT_EQ(palette[99], rgb(255, 0, 0));
  for (uint32_t c : palette) EXPECT_EQ(c >> 24, 0u);
}
