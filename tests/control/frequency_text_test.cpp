#include "control/frequency_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

std::optional<uint32_t> parsed(const std::string& text) {
  uint32_t hz = 0;
  if (!parse_frequency_text(text, hz)) return std::nullopt;
  return hz;
}

}  // namespace

TEST(FrequencyText, PlainHzAndEverySuffixInEitherCase) {
  EXPECT_EQ(parsed("145800000"), 145800000u);
  EXPECT_EQ(parsed("145800k"), 145800000u);
  EXPECT_EQ(parsed("145800K"), 145800000u);
  EXPECT_EQ(parsed("145.8M"), 145800000u);
  EXPECT_EQ(parsed("145.8m"), 145800000u) << "m is mega here: nobody tunes to millihertz";
  EXPECT_EQ(parsed("1.2G"), 1200000000u);
  EXPECT_EQ(parsed("1.2g"), 1200000000u);
  EXPECT_EQ(parsed("0"), 0u);
  EXPECT_EQ(parsed("007M"), 7000000u);
  EXPECT_EQ(parsed(".5M"), 500000u);
  EXPECT_EQ(parsed("5."), 5u);
}

TEST(FrequencyText, DecimalsRoundToTheNearestHz) {
  EXPECT_EQ(parsed("145.7300004M"), 145730000u);
  EXPECT_EQ(parsed("145.7300005M"), 145730001u) << "half rounds up";
  EXPECT_EQ(parsed("145.73000049999M"), 145730000u) << "only the first digit past the Hz decides";
  EXPECT_EQ(parsed("100.4"), 100u);
  EXPECT_EQ(parsed("100.5"), 101u);
  EXPECT_EQ(parsed("1.0000000005G"), 1000000001u);
  EXPECT_EQ(parsed("12.3456789k"), 12346u);
}

TEST(FrequencyText, TheLimitIsThirtyTwoBits) {
  EXPECT_EQ(parsed("4294967295"), 4294967295u);
  EXPECT_EQ(parsed("4.294967295G"), 4294967295u);
  EXPECT_EQ(parsed("4294967294.5"), 4294967295u) << "rounding up to the limit itself";
  EXPECT_EQ(parsed("4294967295.5"), std::nullopt) << "rounding past it";
  EXPECT_EQ(parsed("4294967296"), std::nullopt);
  EXPECT_EQ(parsed("4.3G"), std::nullopt);
  EXPECT_EQ(parsed("99999999999999999999999999"), std::nullopt) << "no wrap on the way";
  EXPECT_EQ(parsed("18446744073709551617"), std::nullopt) << "2^64 + 1 does not wrap to 1";
}

TEST(FrequencyText, AnythingElseIsRefused) {
  for (const char* bad : {"", "k", "M", ".", ".M", "-145M", "+145M", " 145M", "145M ", "145 M",
                          "145MM", "1.2.3", "1e9", "0x10", "145,8M", "145kHz", "abc", "1,000",
                          "\xff", "12\n"}) {
    EXPECT_EQ(parsed(bad), std::nullopt) << "'" << bad << "'";
  }
}
