// The terminal as the display's window: title, probe, presenter choice and the rows the
// picture keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/console_out.h"
#include "terminal/picture_area.h"
#include "terminal/terminal_graphics.h"
#include "terminal/terminal_presenter.h"
#include "platform/terminal_window.h"
#include "platform/window_drawing.h"
#include "tests/support/console_capture.h"
#include "tests/support/terminal_harness.h"
#include "tests/support/text_search.h"


TEST(TerminalWindow, TemporaryTitleIsTickSlashPidAndIsPoppedAgain) {
  EXPECT_EQ(console_title_text(5, 42), "5/42");
  EXPECT_EQ(console_title_text(2147483647u, 1), "2147483647/1");
  EXPECT_EQ(console_title_text(2147483648u, 7), "-2147483648/7");
  EXPECT_EQ(console_title_text(0xFFFFFFFFu, 1), "-1/1");

  // Output to a file is no terminal: nothing is written, nothing found.
  {
    ConsoleCapture output;
    EXPECT_FALSE(find_console_window());
    EXPECT_EQ(output.text(), "");
  }

  PtyConsole pty;
  EXPECT_TRUE(find_console_window());
  const std::string out = pty.finish();
  const std::string pid = "/" + std::to_string(getpid()) + "\x07";
  const size_t push = out.find("\x1b[22;0t"), set = out.find("\x1b]2;"), pop = out.find("\x1b[23;0t");
  ASSERT_NE(push, std::string::npos);
  ASSERT_NE(set, std::string::npos);
  ASSERT_NE(pop, std::string::npos);
  EXPECT_LT(push, set);
  EXPECT_LT(set, pop);
  const size_t slash = out.find(pid, set);
  ASSERT_NE(slash, std::string::npos);
  const std::string tick = out.substr(set + 4, slash - set - 4);
  EXPECT_FALSE(tick.empty());
  EXPECT_EQ(tick.find_first_not_of("-0123456789"), std::string::npos) << tick;
}

TEST(TerminalGraphics, RepliesAreReadUpToTheDeviceAttributes) {
  auto read_all = [](const std::string& bytes) {
    ProbeReader reader;
    TerminalCaps caps;
    for (char c : bytes) probe_reader_feed(reader, static_cast<uint8_t>(c), caps);
    return std::make_pair(reader.done, caps);
  };
  auto [done, caps] =
      read_all("\x1b_Gi=31;OK\x1b\\\x1b[?2;0;1000;800S\x1b[4;480;800t\x1b[6;16;8t\x1b[?62;4;22c");
  EXPECT_TRUE(done);
  EXPECT_TRUE(caps.probed && caps.kitty && caps.sixel);
  EXPECT_EQ(sixel_width_limit(caps), 1000);
  EXPECT_EQ(sixel_height_limit(caps), 800);
  EXPECT_EQ(caps.pixel_width, 800);
  EXPECT_EQ(caps.pixel_height, 480);
  EXPECT_EQ(caps.cell_width, 8);
  EXPECT_EQ(caps.cell_height, 16);

  // A refusal, a class number of 4 that is no sixel, unrelated noise around.
  std::tie(done, caps) = read_all("x\x1b]11;rgb:0/0/0\x07\x1b_Gi=31;ENOTSUPPORTED:no\x1b\\\x1b[?4;22c");
  EXPECT_TRUE(done);
  EXPECT_FALSE(caps.kitty);
  EXPECT_FALSE(caps.sixel);

  // A failed geometry query (status 3) and none at all both leave xterm's default.
  std::tie(done, caps) = read_all("\x1b[?2;3;0S\x1b[?1;0;256S\x1b[?62;4c");
  EXPECT_EQ(caps.sixel_max_width, 0);
  EXPECT_EQ(sixel_width_limit(caps), sixel_default_max_size);
  EXPECT_EQ(sixel_height_limit(caps), sixel_default_max_size);

  std::tie(done, caps) = read_all("\x1b[4;480;800t");
  EXPECT_FALSE(done);
  EXPECT_FALSE(caps.probed);
}

TEST(TerminalGraphics, ProbeAsksTheTerminalAndGivesUpOnSilence) {
  const TerminalCaps saved = terminal_caps;
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);

  // A terminal outside any multiplexer, whatever the one running the tests.
  const std::string saved_term = getenv("TERM") ? getenv("TERM") : "";
  const std::string saved_tmux = getenv("TMUX") ? getenv("TMUX") : "";
  setenv("TERM", "xterm-256color", 1);
  unsetenv("TMUX");

  std::string queries;
  std::thread terminal([&] {
    char buffer[256];
    // The first round of queries, then, as it has sixel, the size of its largest graphic.
    const std::string replies[2] = {"\x1b_Gi=31;OK\x1b\\\x1b[4;600;1000t\x1b[?65;1;4c",
                                    "\x1b[?2;0;800;480S\x1b[?65;1;4c"};
    for (int round = 1; round <= 2; ++round) {
      while (count_of(queries, "\x1b[c") < static_cast<size_t>(round)) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) return;
        queries.append(buffer, static_cast<size_t>(n));
      }
      const std::string& reply = replies[round - 1];
      EXPECT_EQ(write(master, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    }
  });
  terminal_caps = TerminalCaps{};
  terminal_graphics_probe(slave, slave);
  terminal.join();
  EXPECT_EQ(queries, probe_query_text(false) + sixel_size_query_text());
  EXPECT_TRUE(terminal_caps.probed);
  EXPECT_TRUE(terminal_caps.kitty);
  EXPECT_TRUE(terminal_caps.sixel);
  EXPECT_EQ(terminal_caps.pixel_width, 1000);
  EXPECT_EQ(terminal_caps.sixel_max_width, 800);
  EXPECT_EQ(terminal_caps.sixel_max_height, 480);
  if (saved_term.empty()) unsetenv("TERM");
  else setenv("TERM", saved_term.c_str(), 1);
  if (!saved_tmux.empty()) setenv("TMUX", saved_tmux.c_str(), 1);

  // A terminal that answers nothing costs the time limit, no more.
  terminal_caps = TerminalCaps{};
  terminal_graphics_probe(slave, slave);
  EXPECT_FALSE(terminal_caps.probed);
  close(slave);
  close(master);
  terminal_caps = saved;
}

TEST(TerminalGraphics, InsideAMultiplexerOnlyPlainQueriesGo) {
  // tmux and screen take an APC string they do not know for the pane title.
  for (const auto& [term, tmux] : {std::pair<const char*, const char*>{"tmux-256color", nullptr},
                                   {"screen", nullptr},
                                   {"xterm", "/tmp/tmux-0/default,1,0"}}) {
    ASSERT_TRUE(inside_multiplexer(term, tmux));
    EXPECT_EQ(probe_query_text(true), "\x1b[14t\x1b[16t\x1b[c");
  }
  EXPECT_FALSE(inside_multiplexer("xterm-256color", ""));
  const std::string outside = probe_query_text(false);
  EXPECT_NE(outside.find("\x1b_Gi=31,"), std::string::npos);
  EXPECT_EQ(outside.substr(outside.size() - 3), "\x1b[c");  // answered last by every terminal
  EXPECT_EQ(sixel_size_query_text(), "\x1b[?2;1;0S\x1b[c");
}

TEST(TerminalGraphics, PresenterChoice) {
  TerminalCaps none, kitty, sixel;
  kitty.kitty = true;
  sixel.sixel = true;
  using K = PresenterKind;
  EXPECT_EQ(presenter_choose(none, "kitty", "tmux-256color", "/tmp/x"), K::kitty);
  EXPECT_EQ(presenter_choose(kitty, "sixel", nullptr, nullptr), K::sixel);
  EXPECT_EQ(presenter_choose(kitty, "bogus", "xterm", nullptr), K::kitty);
  EXPECT_EQ(presenter_choose(kitty, nullptr, "screen-256color", nullptr), K::blocks);
  EXPECT_EQ(presenter_choose(sixel, nullptr, "xterm", "/tmp/tmux-0/default,1,0"), K::blocks);
  EXPECT_EQ(presenter_choose(sixel, nullptr, "xterm-256color", ""), K::sixel);
  EXPECT_EQ(presenter_choose(none, nullptr, "xterm-kitty", nullptr), K::kitty);
  EXPECT_EQ(presenter_choose(none, nullptr, nullptr, nullptr), K::blocks);
  EXPECT_FALSE(presenter_name_known("Sixel"));
  EXPECT_FALSE(presenter_name_known(""));
  EXPECT_TRUE(presenter_name_known("blocks"));
}

TEST(TerminalGraphics, ConsolePresenterChoiceComesFromTheConsoleWindow) {
  using K = PresenterKind;
  int dummy = 0;
  const ConsoleWindow none;
  const ConsoleWindow shown{&dummy, true, false};
  const ConsoleWindow hidden{&dummy, false, false};           // a pseudo console's window
  const ConsoleWindow terminal_tab{&dummy, true, true};       // Windows Terminal's own window
  EXPECT_EQ(presenter_choose_console(shown, nullptr), K::gdi);
  EXPECT_EQ(presenter_choose_console(shown, ""), K::gdi);
  EXPECT_EQ(presenter_choose_console(shown, "bogus"), K::gdi);
  EXPECT_EQ(presenter_choose_console(hidden, nullptr), K::blocks);
  EXPECT_EQ(presenter_choose_console(terminal_tab, nullptr), K::blocks);
  EXPECT_EQ(presenter_choose_console(none, nullptr), K::blocks);
  // Asked for by name: honoured, gdi wherever there is a window at all.
  EXPECT_EQ(presenter_choose_console(terminal_tab, "sixel"), K::sixel);
  EXPECT_EQ(presenter_choose_console(shown, "blocks"), K::blocks);
  EXPECT_EQ(presenter_choose_console(shown, "kitty"), K::kitty);
  EXPECT_EQ(presenter_choose_console(hidden, "gdi"), K::gdi);
  EXPECT_EQ(presenter_choose_console(none, "gdi"), K::blocks);
  EXPECT_EQ(presenter_choose_console(shown, "GDI"), K::gdi);  // unknown: the window decides
  EXPECT_STREQ(presenter_name(K::gdi), "gdi");
  // Only a Windows console has a window to draw on; elsewhere gdi is an unknown name.
  EXPECT_EQ(presenter_name_known("gdi"), console_window_drawing);
}

TEST(TerminalGraphics, GdiAskedForOnATerminalIsReportedAndTheTerminalDecides) {
  const char* before = std::getenv("RXIQ_DISPLAY");
  const std::string saved = before ? before : "";
  setenv("RXIQ_DISPLAY", "gdi", 1);
  int dummy = 0;
  const PresenterKind kind = presenter_from_environment(ConsoleWindow{&dummy, true, false});
  const char* forced = presenter_unknown_forced();
  const std::string unknown = forced ? forced : "(none)";
  if (before) {
    setenv("RXIQ_DISPLAY", saved.c_str(), 1);
  } else {
    unsetenv("RXIQ_DISPLAY");
  }
  EXPECT_NE(kind, PresenterKind::gdi);
  EXPECT_EQ(unknown, "gdi");
}

TEST(TerminalWindow, PictureRowsStayWhileMessagesScrollAndComeBackReadable) {
  MiniTerminal t(10, 20);
  for (int n = 1; n <= 9; ++n) t.feed(as_pty("line" + std::to_string(n) + "\n"));
  ASSERT_EQ(t.row, 9);

  t.feed(picture_area_open_text(3, 10));
  EXPECT_EQ(t.scrollback, (std::vector<std::string>{"line1               ", "line2               ", "line3               "}));
  for (int r = 0; r < 3; ++r) EXPECT_EQ(t.line(r), "") << r;
  for (int r = 3; r < 9; ++r) EXPECT_EQ(t.line(r), "line" + std::to_string(r + 1));
  EXPECT_EQ(t.row, 9);
  EXPECT_EQ(t.top, 3);

  TerminalPresenter p;
  p.picture_rows = 3;
  p.columns = 20;
  std::vector<uint32_t> red(20 * 6, 0xFF);
  std::string picture;
  presenter_encode(p, PresentFrame{red, 20, 6, {}}, picture);
  t.feed(picture);
  t.feed(as_pty("msg1\nmsg2\n"));
  t.feed(picture);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(t.line(r), std::string(20, '#')) << r;
  EXPECT_EQ(t.line(7), "msg1");
  EXPECT_EQ(t.line(8), "msg2");
  EXPECT_EQ(t.row, 9);
  EXPECT_EQ(t.column, 0);

  t.feed(presenter_erase_text(p) + picture_area_close_text(3));
  EXPECT_EQ(t.top, 0);
  EXPECT_EQ(t.bottom, 9);
  const std::vector<std::string> expected = {"line6", "line7", "line8", "line9", "msg1", "msg2"};
  for (int r = 0; r < 10; ++r) EXPECT_EQ(t.line(r), r < 6 ? expected[r] : "") << r;
  EXPECT_EQ(t.row, 6);  // right under the last message
  t.feed(as_pty("after\n"));
  EXPECT_EQ(t.line(6), "after");
}

TEST(TerminalWindow, AShortScreenKeepsItsTextAndLeavesNoBlankBand) {
  MiniTerminal t(12, 20);
  t.feed(as_pty("one\ntwo\n"));
  t.feed(picture_area_open_text(4, 12));
  EXPECT_TRUE(t.scrollback.empty());
  EXPECT_EQ(t.line(4), "one");
  EXPECT_EQ(t.line(5), "two");
  EXPECT_EQ(t.row, 6);  // right below the text, not at the bottom
  t.feed(as_pty("msg\n"));
  EXPECT_EQ(t.line(6), "msg");

  TerminalPresenter p;
  p.kind = PresenterKind::sixel;
  p.picture_rows = 4;
  t.feed(presenter_erase_text(p) + picture_area_close_text(4));
  EXPECT_EQ(t.line(0), "one");
  EXPECT_EQ(t.line(2), "msg");
  EXPECT_EQ(t.row, 3);
  EXPECT_EQ(t.top, 0);
  EXPECT_EQ(t.bottom, 11);
  // Sixel pixels outlive erased text in xterm: the picture's rows are scrolled out.
  EXPECT_NE(presenter_erase_text(p).find("\x1b[1;4r\x1b[4S\x1b[r"), std::string::npos);
}
