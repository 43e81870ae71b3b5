#include "control/key_commands.h"

#include <gtest/gtest.h>

#include <memory>

#include "control/listening.h"
#include "control/receiver.h"
#include "terminal/key_decoder.h"
#include "tests/support/console_capture.h"

namespace {

struct Keys : ::testing::Test {
  std::unique_ptr<Receiver> receiver = std::make_unique<Receiver>(rxiq12_variant, nullptr);
  RxState& s = receiver->state;
  bool press(int key) { return key_command(receiver_keys(*receiver), key); }
};

Dongle* some_device() { return reinterpret_cast<Dongle*>(uintptr_t{0x1000}); }

}  // namespace

TEST_F(Keys, EscapeEndsTheLoopOtherKeysDoNot) {
  EXPECT_FALSE(press(vk_escape));
  for (int key : {int(vk_prior), int(vk_next), int(vk_up), int(vk_down), int('M'), int('N'), int('X'), 0}) {
    EXPECT_TRUE(press(key));
  }
}

TEST_F(Keys, RetuneOnlyWhileADongleIsOpenWithWraparound) {
  press(vk_left);
  press(vk_right);
  press(vk_right);
  EXPECT_EQ(s.frequency.load(), 145725000);
  s.device.store(some_device());
  press(vk_right);
  press(vk_right);
  press(vk_right);
  EXPECT_EQ(s.frequency.load(), 145725150);
  press(vk_left);
  EXPECT_EQ(s.frequency.load(), 145725100);
  s.frequency.store(10);
  press(vk_left);
  EXPECT_EQ(s.frequency.load(), -40);
  s.frequency.store(INT32_MAX);
  press(vk_right);
  EXPECT_EQ(s.frequency.load(), INT32_MIN + 49);
  // Up and Down do not tune.
  press(vk_up);
  press(vk_down);
  EXPECT_EQ(s.frequency.load(), INT32_MIN + 49);
}

TEST_F(Keys, GainIndexStaysWithinTheList) {
  press(vk_home);  // no gain list yet
  EXPECT_EQ(s.gain_index.load(), 0);
  s.gain_count.store(3);
  press(vk_end);
  EXPECT_EQ(s.gain_index.load(), 0);
  press(vk_home);
  press(vk_home);
  press(vk_home);
  EXPECT_EQ(s.gain_index.load(), 2);
  press(vk_end);
  EXPECT_EQ(s.gain_index.load(), 1);
}

TEST_F(Keys, ModesCycleAndToggle) {
  int modes[4];
  for (int& m : modes) {
    press('N');
    m = s.tuner_gain_mode.load();
  }
  EXPECT_EQ(modes[0], 2);
  EXPECT_EQ(modes[1], 0);
  EXPECT_EQ(modes[2], 1);  // three presses return to the start
  EXPECT_EQ(modes[3], 2);
  press('M');
  EXPECT_EQ(s.agc_mode.load(), 1);
  press('M');
  EXPECT_EQ(s.agc_mode.load(), 0);
  press(vk_prior);
  EXPECT_EQ(s.spectrum_debug.load(), 1);
  press(vk_next);
  EXPECT_EQ(s.spectrum_debug.load(), 0);
}

TEST_F(Keys, TopFlagIsEchoed) {
  ConsoleCapture capture;
  press('T');
  press('T');
  EXPECT_EQ(capture.text(), "\nTop 1      \n\nTop 0      \n");
  EXPECT_EQ(s.top_flag.load(), 0);
}

TEST_F(Keys, DisplayToggleStartsAndStopsTheThread) {
  ConsoleCapture capture;  // the display says it has no terminal to draw on
  press('V');
  EXPECT_EQ(s.display_on.load(), 1);
  EXPECT_EQ(s.display_run.load(), 1);
  press('V');
  EXPECT_EQ(s.display_on.load(), 0);
  EXPECT_EQ(s.display_run.load(), 0);
  // V, V in quick succession again: a start right after a stop is fine.
  press('V');
  press('V');
  display_wait_end(receiver->display);
  EXPECT_EQ(s.display_run.load(), 0);
}

TEST_F(Keys, UpDownAndLActOnlyOnAListeningChannel) {
  ConsoleCapture none;
  for (int key : {int('L'), int(vk_up), int(vk_down)}) press(key);
  const std::string line = no_listening_channel_text;
  EXPECT_EQ(none.text(), line + line + line);
  EXPECT_EQ(s.squelch.load(), squelch_off);

  // The squelch: from off Up starts at -80 dB, stops at 0 dB; below -120 dB it is off.
  s.listen_mode.store(static_cast<int32_t>(ListenMode::usb));
  ConsoleCapture squelch;
  for (int key : {vk_down, vk_up, vk_up}) press(key);
  s.squelch.store(-5);
  press(vk_up);
  s.squelch.store(-1180);
  press(vk_down);
  press(vk_down);
  EXPECT_EQ(squelch.text(), "Squelch off\nSquelch -80.0 dB\nSquelch -78.0 dB\nSquelch 0.0 dB\n"
                            "Squelch -120.0 dB\nSquelch off\n");
  EXPECT_EQ(s.squelch.load(), squelch_off);

  // At 15 kHz in rxiq12 FM (11.2 kHz at most) and AM (14.7 kHz) are passed by; where only
  // wide FM fits, L keeps it.
  ConsoleCapture modes;
  s.listen_offset.store(15000);
  for (int k = 0; k < 3; ++k) press('L');
  s.listen_offset.store(-300000);
  press('L');
  EXPECT_EQ(modes.text(), "Listening: LSB at 15000 Hz\nListening: WFM at 15000 Hz\nListening: USB at 15000 Hz\n"
                          "Listening: WFM at -300000 Hz\n");
}
