#include "platform/windows/control_routine.h"

#include <gtest/gtest.h>

#include "control/receiver.h"
#include "core/print_console.h"
#include "platform/control_events.h"
#include "tests/support/console_capture.h"

// The console calls the routine on a thread of its own for each event; here the test
// calls it directly, with the receiver's own handler installed.
class ControlRoutine : public ::testing::Test {
 protected:
  void SetUp() override {
    print_console_set_charset("UTF-8");
    control_events_install(HandlerRoutine);
  }
  void TearDown() override {
    control_events_remove();
    print_console_set_charset(nullptr);
  }
};

TEST_F(ControlRoutine, CtrlCAndCtrlBreakAreReportedAndConsumed) {
  ConsoleCapture console;
  EXPECT_EQ(control_routine(CTRL_C_EVENT), TRUE);
  EXPECT_EQ(control_routine(CTRL_BREAK_EVENT), TRUE);
  EXPECT_EQ(console.text(), "dwCtrlType = 0\ndwCtrlType = 1\n");
}

TEST_F(ControlRoutine, CloseLogoffAndShutdownEndTheReceiverAndLeaveTheRestToTheSystem) {
  for (DWORD type : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    ConsoleCapture console;
    EXPECT_EQ(control_routine(type), FALSE) << "type " << type;
    EXPECT_EQ(console.text(), "Окончание цикла HandlerRoutine\n") << "type " << type;
  }
}

TEST_F(ControlRoutine, WithoutAHandlerEveryEventGoesToTheSystem) {
  control_events_remove();
  ConsoleCapture console;
  EXPECT_EQ(control_routine(CTRL_C_EVENT), FALSE);
  EXPECT_EQ(control_routine(CTRL_CLOSE_EVENT), FALSE);
  EXPECT_EQ(console.text(), "");
}

TEST(ControlSignals, TheCRuntimesSignalsStandForTheirControlTypes) {
  EXPECT_EQ(control_type_of_signal(SIGINT), ctrl_c_event);
  EXPECT_EQ(control_type_of_signal(SIGBREAK), ctrl_break_event);
  EXPECT_EQ(control_type_of_signal(SIGTERM), ctrl_shutdown_event);
  EXPECT_EQ(control_type_of_signal(SIGSEGV), -1);
}
