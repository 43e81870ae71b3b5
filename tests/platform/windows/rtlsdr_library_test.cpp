#include "platform/windows/rtlsdr_dll.h"

#include <gtest/gtest.h>

#include "core/print_console.h"
#include "tests/support/console_capture.h"
#include "tuner/rtlsdr_dongle.h"

TEST(RtlsdrLibrary, AMissingDllIsNamedInOneLine) {
  RtlsdrLibrary lib;
  std::string problem;
  EXPECT_FALSE(rtlsdr_library_load(lib, {"rxiq_absent_a.dll", "rxiq_absent_b.dll"}, problem));
  EXPECT_EQ(problem,
            "librtlsdr not found (rxiq_absent_a.dll, rxiq_absent_b.dll): put rtlsdr.dll beside "
            "the program\n");
  EXPECT_EQ(lib.get_device_count, nullptr);
}

TEST(RtlsdrLibrary, TheFirstDllThatLoadsIsUsedAndEveryCallWorksThroughIt) {
  RtlsdrLibrary lib;
  std::string problem;
  ASSERT_TRUE(rtlsdr_library_load(lib, {"rxiq_absent_a.dll", RXIQ_RTLSDR_STANDIN}, problem))
      << problem;
  EXPECT_EQ(lib.get_device_count(), 1u);
  EXPECT_STREQ(lib.get_device_name(0), "Stand-in RTL2832U");
  rtlsdr_dev* dev = nullptr;
  ASSERT_EQ(lib.open(&dev, 0), 0);
  ASSERT_NE(dev, nullptr);
  int gains[100] = {};
  EXPECT_EQ(lib.get_tuner_gains(dev, gains), 1);
  EXPECT_EQ(gains[0], 496);
  EXPECT_EQ(lib.get_freq_correction(dev), 48);
  EXPECT_EQ(lib.get_tuner_type(dev), 5);
  unsigned char block[16] = {};
  int n_read = 0;
  EXPECT_EQ(lib.read_sync(dev, block, sizeof block, &n_read), 0);
  EXPECT_EQ(n_read, 16);
  EXPECT_EQ(block[15], 127);
  EXPECT_EQ(lib.close(dev), 0);
}

TEST(RtlsdrLibrary, ADllWithoutEveryCallIsRefusedNamingTheFirstMissingOne) {
  RtlsdrLibrary lib;
  std::string problem;
  EXPECT_FALSE(rtlsdr_library_load(lib, {RXIQ_RTLSDR_PARTIAL}, problem));
  EXPECT_NE(problem.find(" has no rtlsdr_get_device_usb_strings: "), std::string::npos) << problem;
  EXPECT_EQ(problem.back(), '\n');
  EXPECT_EQ(lib.get_device_count, nullptr);
}

TEST(RtlsdrLibrary, WithoutTheDllTheDongleLayerSaysSoOnceAndFindsNoDongle) {
  print_console_set_charset("UTF-8");
  ConsoleCapture console;
  RtlsdrDongle dongle;
  EXPECT_EQ(dongle.get_device_count(), 0u);
  EXPECT_EQ(dongle.get_device_count(), 0u);
  EXPECT_EQ(console.text(),
            "librtlsdr not found (rtlsdr.dll, librtlsdr.dll): put rtlsdr.dll beside the program\n");
  print_console_set_charset(nullptr);
}
