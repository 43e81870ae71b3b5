// The built receiver, run on a pseudo-terminal as a person would run it.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/pty_process.h"

using namespace std::chrono_literals;

namespace {

const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq12";
const std::vector<std::string> environment = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Waits until the key loop runs: the banner is out, the terminal's answer to the
// display probe has been given (as a terminal would), and the mode is raw.
bool wait_for_key_loop(PtyProcess& rx) {
  if (!rx.wait_for("Выходные устройства", 20s)) return false;
  if (!rx.wait_for("\x1b[c", 10s)) return false;
  rx.send("\x1b[?62;22c");  // primary device attributes: ends the probe
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!rx.mode_is_raw() && std::chrono::steady_clock::now() < deadline) rx.wait_for("\x01", 10ms);
  return rx.mode_is_raw();
}

}  // namespace

TEST(Receiver, BannerDeviceListsAndEscapeRestoreTheTerminal) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  rx.send("\x1b");
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.mode_restored());

  std::vector<std::string> lines = lines_of(rx.output());
  ASSERT_GE(lines.size(), 9u) << rx.output();
  size_t i = 0;
  EXPECT_EQ(lines[i++], "Начало цикла");
  EXPECT_TRUE(std::regex_match(lines[i++], std::regex(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d\d)")));
  EXPECT_EQ(lines[i++], "Входные устройства ");
  EXPECT_EQ(lines[i++], "");
  EXPECT_TRUE(lines[i++].starts_with("-1  "));
  while (i < lines.size() && std::regex_match(lines[i], std::regex(R"(\d+  .*)"))) ++i;
  ASSERT_LT(i + 3, lines.size());
  EXPECT_EQ(lines[i++], "");
  EXPECT_EQ(lines[i++], "Выходные устройства ");
  EXPECT_EQ(lines[i++], " ");
  EXPECT_TRUE(lines[i++].starts_with("-1  "));
  EXPECT_EQ(lines.back(), "Окончание цикла");
}

TEST(Receiver, CtrlCIsReportedAndShutdownSignalEndsCleanly) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  // Ctrl+C typed at the terminal arrives as a control event and is consumed.
  rx.send("\x03");
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 0\n", 10s)) << rx.output();
  kill(rx.pid(), SIGQUIT);
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 1\n", 10s)) << rx.output();
  EXPECT_EQ(rx.wait_exit(100ms), -1);  // still running
  kill(rx.pid(), SIGTERM);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(rx.output().find("Окончание цикла HandlerRoutine\n"), std::string::npos);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, PipedKeysAndUnattendedRunUntilCloseSignal) {
  // Keys from a pipe decode the same; the end of input leaves the receiver running.
  PtyProcess rx(program, {}, environment, true);
  ASSERT_TRUE(rx.started());
  rx.send("t\x1b[5~T");
  rx.close_input();
  ASSERT_TRUE(rx.wait_for("Top 0", 20s)) << rx.output();
  EXPECT_EQ(rx.wait_exit(200ms), -1);
  kill(rx.pid(), SIGHUP);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(rx.output().find("Окончание цикла HandlerRoutine\n"), std::string::npos);

  // An Esc at the very end of piped input still ends the receiver.
  PtyProcess esc(program, {}, environment, true);
  esc.send("\x1b");
  esc.close_input();
  status = esc.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << esc.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(esc.output().find("Окончание цикла\n"), std::string::npos);
}

TEST(Receiver, FatalSignalStillRestoresTheTerminal) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  kill(rx.pid(), SIGABRT);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFSIGNALED(status)) << rx.output();
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, HelpAndVersionEndAtOnceWithoutStartingAnything) {
  for (const char* flag : {"--help", "-h", "--version"}) {
    PtyProcess rx(program, {"145725000", flag}, environment);
    ASSERT_TRUE(rx.started());
    int status = rx.wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << flag << rx.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << flag;
    EXPECT_TRUE(rx.output().starts_with(flag == std::string("--version") ? "rxiq12 " : "usage: rxiq12"))
        << rx.output();
    // No banner, no device lists, no dongle messages, terminal untouched.
    EXPECT_EQ(rx.output().find("Начало цикла"), std::string::npos) << rx.output();
    EXPECT_EQ(rx.output().find("devices"), std::string::npos) << rx.output();
    EXPECT_TRUE(rx.mode_restored());
  }
}
