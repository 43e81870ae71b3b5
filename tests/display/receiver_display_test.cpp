// The whole receiver in tmux on the simulated dongle: V shows the picture as coloured
// half-block cells at the top of the pane, V again takes it away, Esc ends the
// receiver with the terminal as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/text_search.h"

namespace {

const std::string tmux_socket = "rxiq-display-test-" + std::to_string(getpid());

std::string tmux(const std::string& args) {
  // -u: the pane is UTF-8 whatever the test's own locale is.
  return run_output("LANG=C.UTF-8 tmux -u -L " + tmux_socket + " " + args + " 2>/dev/null");
}

std::string pane(bool escapes) { return tmux(std::string("capture-pane -p -J") + (escapes ? " -e" : "") + " -t rx"); }

// tmux is another process: its screen can only be looked at again and again.
template <typename Check>
bool eventually(Check check) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

TEST(ReceiverDisplay, PictureAppearsInTmuxAndGoesAwayCleanly) {
  const std::string receiver = std::string(RXIQ_BINARY_DIR) + "/rxiq12";
  if (access(receiver.c_str(), X_OK) != 0) GTEST_SKIP() << "rxiq12 is not built";
  if (run_output("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";

  // The pane gets a title of its own first, which must still be there at the end.
  tmux("-f /dev/null new-session -d -s rx -x 120 -y 40 'printf \"\\033]2;rxiq-pane\\007\"; exec env LANG=C.UTF-8 LC_ALL=C.UTF-8 RXIQ_DONGLE=sim RXIQ_DISPLAY=blocks " +
       receiver + "' \\; set-option -t rx remain-on-exit on");
  EXPECT_TRUE(eventually([] { return pane(false).find("Type V for user interface") != std::string::npos; }));

  tmux("send-keys -t rx V");
  // Half-block cells fill the picture's rows at the top of the pane, and they are
  // coloured: the red trace and scale at least. (tmux repeats a colour only where it
  // changes, so colours are looked for in the picture as a whole.)
  EXPECT_TRUE(eventually([] {
    const std::string screen = pane(true);
    size_t line_start = 0;
    int row = 0, block_rows = 0;
    for (size_t end; (end = screen.find('\n', line_start)) != std::string::npos && row < 20; ++row) {
      if (count_of(screen.substr(line_start, end - line_start), "\xe2\x96\x80") > 50) ++block_rows;
      line_start = end + 1;
    }
    const std::string picture = screen.substr(0, line_start);
    return block_rows >= 15 && picture.find("38;2;255;0;0m") != std::string::npos;
  })) << pane(false);

  tmux("send-keys -t rx V");
  EXPECT_TRUE(eventually([] {
    const std::string screen = pane(false);
    return count_of(screen, "\xe2\x96\x80") == 0 && count_of(screen, "SQL-level") >= 2;
  }));
  EXPECT_EQ(tmux("display-message -p -t rx '#{scroll_region_upper} #{scroll_region_lower}'"), "0 39\n");

  tmux("send-keys -t rx Escape");
  EXPECT_TRUE(eventually([] { return tmux("display-message -p -t rx '#{pane_dead}'") == "1\n"; }));
  const std::string screen = pane(false);
  EXPECT_NE(screen.find("Окончание цикла"), std::string::npos);
  EXPECT_EQ(count_of(screen, "\xe2\x96\x80"), 0u);
  EXPECT_EQ(tmux("display-message -p -t rx '#{pane_title}'"), "rxiq-pane\n");
  tmux("kill-server");
}
