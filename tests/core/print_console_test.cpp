#include "core/print_console.h"

#include <gtest/gtest.h>

#include <string>

#include "control/receiver.h"
#include "platform/control_events.h"
#include "tests/support/console_capture.h"

TEST(PrintConsole, FormatsConvertsAndReturnsTheBytesWritten) {
  ConsoleCapture capture;
  print_console_set_charset("KOI8-R");
  int n = print_console("%s%d%%\n", "Начало ", 5);
  print_console_set_charset("UTF-8");
  print_console("%s", "Окончание\n");
  EXPECT_EQ(capture.text(), "\xee\xc1\xde\xc1\xcc\xcf 5%\nОкончание\n");
  EXPECT_EQ(n, 10);
}

TEST(PrintConsole, PercentInConvertedTextIsPrintedNotInterpreted) {
  ConsoleCapture capture;
  print_console_set_charset("UTF-8");
  print_console("%s", "100%s %d %n\n");
  EXPECT_EQ(capture.text(), "100%s %d %n\n");
}

TEST(PrintConsole, LongMessagesAreCutSafely) {
  ConsoleCapture capture;
  print_console_set_charset("UTF-8");
  std::string long_text(5000, 'x');
  int n = print_console("%s", long_text.c_str());
  EXPECT_EQ(n, static_cast<int>(console_buffer_size - 1));
  EXPECT_EQ(capture.text(), std::string(console_buffer_size - 1, 'x'));
  // A two-byte character across the cut is dropped whole.
  ConsoleCapture second;
  std::string cyrillic = "yy";
  for (int i = 0; i < 1500; ++i) cyrillic += "Ж";
  print_console("%s", cyrillic.c_str());
  std::string out = second.text();
  EXPECT_EQ(out.size(), console_buffer_size - 2);
  EXPECT_EQ(out.substr(out.size() - 2), "Ж");
}

TEST(HandlerRoutine, CtrlCAndBreakAreConsumedCloseEventsEndTheProcess) {
  ConsoleCapture capture;
  print_console_set_charset("UTF-8");
  EXPECT_EQ(HandlerRoutine(ctrl_c_event), 1);
  EXPECT_EQ(HandlerRoutine(ctrl_break_event), 1);
  EXPECT_EQ(HandlerRoutine(ctrl_shutdown_event), 0);
  EXPECT_EQ(capture.text(), "dwCtrlType = 0\ndwCtrlType = 1\nОкончание цикла HandlerRoutine\n");
  EXPECT_EQ(control_type_of_signal(SIGINT), ctrl_c_event);
  EXPECT_EQ(control_type_of_signal(SIGQUIT), ctrl_break_event);
  EXPECT_EQ(control_type_of_signal(SIGHUP), ctrl_close_event);
  EXPECT_EQ(control_type_of_signal(SIGTERM), ctrl_shutdown_event);
}
