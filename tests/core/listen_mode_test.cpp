// What --listen and --squelch accept, and where each mode's channel may sit.
#include "core/listen_mode.h"

#include <gtest/gtest.h>

TEST(ListenMode, SpecsReadModeAndOffsetAndRefuseTheRest) {
  ListenChoice choice;
  std::string error;
  ASSERT_TRUE(parse_listen_choice("fm@-12500", choice, error));
  EXPECT_EQ(choice.mode, ListenMode::fm);
  EXPECT_EQ(choice.offset_hz, -12500);
  ASSERT_TRUE(parse_listen_choice("usb", choice, error));
  EXPECT_EQ(choice.mode, ListenMode::usb);
  EXPECT_EQ(choice.offset_hz, 0);
  ASSERT_TRUE(parse_listen_choice("wfm@+300000", choice, error));
  EXPECT_EQ(choice.offset_hz, 300000);
  for (const char* bad : {"", "off", "FM", "nfm", "fm@", "fm@12.5k", "fm@1e3", "fm@99999999999", "@100"}) {
    ListenChoice kept{ListenMode::am, 7};
    EXPECT_FALSE(parse_listen_choice(bad, kept, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(kept.mode, ListenMode::am) << "a refused choice leaves the old one: " << bad;
  }
}

TEST(ListenMode, OffsetsMustKeepTheChannelInsideTheCleanBand) {
  std::string error;
  // rxiq12's baseband is clean to +-19.2 kHz; narrow FM reaches 8 kHz either side.
  EXPECT_EQ(listen_offset_limit(rxiq12_variant, ListenMode::fm), 11200);
  EXPECT_TRUE(listen_choice_fits(rxiq12_variant, {ListenMode::fm, -11200}, error));
  EXPECT_FALSE(listen_choice_fits(rxiq12_variant, {ListenMode::fm, -12500}, error));
  EXPECT_NE(error.find("11200"), std::string::npos) << error;
  EXPECT_NE(error.find("rxiq12"), std::string::npos) << error;
  EXPECT_TRUE(listen_choice_fits(rxiq24_variant, {ListenMode::fm, -12500}, error));
  // Wide FM is taken from the dongle's stream, far wider than the baseband.
  EXPECT_TRUE(listen_choice_fits(rxiq12_variant, {ListenMode::wfm, -375000}, error));
  EXPECT_FALSE(listen_choice_fits(rxiq12_variant, {ListenMode::wfm, 500000}, error));
  EXPECT_FALSE(listen_choice_fits(rxiq12_variant, {ListenMode::usb, INT32_MIN}, error));
}

TEST(ListenMode, SquelchLevelsReadInDbOrOff) {
  int32_t tenths = 0;
  ASSERT_TRUE(parse_squelch_text("-62.5", tenths));
  EXPECT_EQ(tenths, -625);
  ASSERT_TRUE(parse_squelch_text("off", tenths));
  EXPECT_EQ(tenths, squelch_off);
  ASSERT_TRUE(parse_squelch_text("0", tenths));
  EXPECT_EQ(tenths, 0);
  for (const char* bad : {"", "-", "1", "-121", "-60dB", "nan", "-inf", "- 60"}) {
    EXPECT_FALSE(parse_squelch_text(bad, tenths)) << bad;
  }
}
