// The terminal as the display's window: title, probe, presenter choice, the rows the
// picture keeps, and whole display runs on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdarg>
#include <fcntl.h>
#include <mutex>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/rx_state.h"
#include "display/display_thread.h"
#include "platform/console_out.h"
#include "platform/terminal_graphics.h"
#include "platform/terminal_window.h"

namespace {

// Just enough of a text terminal to follow what the display sends: printing, CR, LF,
// cursor position and up, scroll region, insert and delete lines, erase in line, save
// and restore cursor; other sequences and strings are skipped.
struct MiniTerminal {
  int rows, columns;
  std::vector<std::string> screen;
  std::vector<std::string> scrollback;
  int row = 0, column = 0, top = 0, bottom;
  int saved_row = 0, saved_column = 0;

  MiniTerminal(int r, int c) : rows(r), columns(c), screen(r, std::string(c, ' ')), bottom(r - 1) {}

  void scroll_up(int from, int to) {
    if (from == 0) scrollback.push_back(screen[from]);
    screen.erase(screen.begin() + from);
    screen.insert(screen.begin() + to, std::string(columns, ' '));
  }
  void put(char ch) {
    if (column >= columns) return;  // no wrap needed here
    screen[row][column++] = ch;
  }
  void csi(const std::vector<int>& p, char final_byte) {
    auto arg = [&](size_t i, int fallback) { return i < p.size() && p[i] != 0 ? p[i] : fallback; };
    switch (final_byte) {
      case 'H': row = std::min(arg(0, 1), rows) - 1; column = std::min(arg(1, 1), columns) - 1; break;
      case 'A': row = std::max(row >= top ? top : 0, row - arg(0, 1)); break;
      case 'r': top = arg(0, 1) - 1; bottom = arg(1, rows) - 1; row = 0; column = 0; break;
      case 'L':
        if (row >= top && row <= bottom)
          for (int n = 0; n < arg(0, 1); ++n) {
            screen.erase(screen.begin() + bottom);
            screen.insert(screen.begin() + row, std::string(columns, ' '));
          }
        break;
      case 'M':
        if (row >= top && row <= bottom)
          for (int n = 0; n < arg(0, 1); ++n) {
            screen.erase(screen.begin() + row);
            screen.insert(screen.begin() + bottom, std::string(columns, ' '));
          }
        break;
      case 'K':
        if (arg(0, 0) == 2) screen[row] = std::string(columns, ' ');
        else screen[row].replace(column, columns - column, columns - column, ' ');
        break;
      default: break;  // colours, title stack
    }
  }
  void feed(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      const unsigned char c = static_cast<unsigned char>(bytes[at]);
      if (c == 0x1B) {
        const char kind = bytes[at + 1];
        if (kind == '[') {
          std::vector<int> p(1, 0);
          at += 2;
          while (!(bytes[at] >= 0x40 && bytes[at] <= 0x7E)) {
            if (bytes[at] == ';') p.push_back(0);
            else if (isdigit(static_cast<unsigned char>(bytes[at]))) p.back() = p.back() * 10 + (bytes[at] - '0');
            ++at;
          }
          csi(p, bytes[at++]);
        } else if (kind == '7') {
          saved_row = row, saved_column = column, at += 2;
        } else if (kind == '8') {
          row = saved_row, column = saved_column, at += 2;
        } else {  // a string: OSC ends with BEL or ST, APC and DCS with ST
          at += 2;
          while (at < bytes.size() && bytes[at] != '\x07' && !(bytes[at] == 0x1B && bytes[at + 1] == '\\')) ++at;
          at += bytes[at] == '\x07' ? 1 : 2;
        }
      } else if (c == '\r') {
        column = 0, ++at;
      } else if (c == '\n') {
        if (row == bottom) scroll_up(top, bottom);
        else if (row < rows - 1) ++row;
        ++at;
      } else if (c >= 0x80) {  // one character per UTF-8 sequence; the half block shows as '#'
        put(bytes.compare(at, 3, "\xe2\x96\x80") == 0 ? '#' : '?');
        ++at;
        while (at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80) ++at;
      } else {
        put(static_cast<char>(c)), ++at;
      }
    }
  }
  std::string line(int r) const { return screen[r].substr(0, screen[r].find_last_not_of(' ') + 1); }
};

// What a terminal receives through a pseudo-terminal: LF becomes CR LF.
std::string as_pty(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::mutex printed_lock;
std::string printed;
int capture_print(const char* format, ...) {
  char text[2000];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(printed_lock);
  printed += text;
  return n;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

// A pseudo-terminal of 100 x 30 cells standing in for the receiver's terminal, its
// other side read into `received` until closed.
struct PtyConsole {
  int master = -1, slave = -1, saved_fd;
  std::string received;
  std::thread reader;
  explicit PtyConsole(int pixel_width = 0, int pixel_height = 0) {
    winsize ws{};
    ws.ws_row = 30;
    ws.ws_col = 100;
    ws.ws_xpixel = static_cast<unsigned short>(pixel_width);
    ws.ws_ypixel = static_cast<unsigned short>(pixel_height);
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
    saved_fd = console_out.fd;
    console_out.fd = slave;
    reader = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = read(master, buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
    });
  }
  std::string finish() {
    console_out.fd = saved_fd;
    close(slave);
    reader.join();
    close(master);
    return received;
  }
};

}  // namespace

TEST(TerminalWindow, TemporaryTitleIsTickSlashPidAndIsPoppedAgain) {
  EXPECT_EQ(console_title_text(5, 42), "5/42");
  EXPECT_EQ(console_title_text(2147483647u, 1), "2147483647/1");
  EXPECT_EQ(console_title_text(2147483648u, 7), "-2147483648/7");
  EXPECT_EQ(console_title_text(0xFFFFFFFFu, 1), "-1/1");

  // Output to a pipe is no terminal: nothing is written, nothing found.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = console_out.fd;
  console_out.fd = fds[1];
  EXPECT_FALSE(find_console_window());
  console_out.fd = saved;
  close(fds[1]);
  char byte;
  EXPECT_EQ(read(fds[0], &byte, 1), 0);
  close(fds[0]);

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
  auto [done, caps] = read_all("\x1b_Gi=31;OK\x1b\\\x1b[4;480;800t\x1b[6;16;8t\x1b[?62;4;22c");
  EXPECT_TRUE(done);
  EXPECT_TRUE(caps.probed && caps.kitty && caps.sixel);
  EXPECT_EQ(caps.pixel_width, 800);
  EXPECT_EQ(caps.pixel_height, 480);
  EXPECT_EQ(caps.cell_width, 8);
  EXPECT_EQ(caps.cell_height, 16);

  // A refusal, a class number of 4 that is no sixel, unrelated noise around.
  std::tie(done, caps) = read_all("x\x1b]11;rgb:0/0/0\x07\x1b_Gi=31;ENOTSUPPORTED:no\x1b\\\x1b[?4;22c");
  EXPECT_TRUE(done);
  EXPECT_FALSE(caps.kitty);
  EXPECT_FALSE(caps.sixel);

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

  std::string queries;
  std::thread terminal([&] {
    char buffer[256];
    while (queries.find("\x1b[c") == std::string::npos) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) return;
      queries.append(buffer, static_cast<size_t>(n));
    }
    const std::string replies = "\x1b_Gi=31;OK\x1b\\\x1b[4;600;1000t\x1b[?65;1;4c";
    EXPECT_EQ(write(master, replies.data(), replies.size()), static_cast<ssize_t>(replies.size()));
  });
  terminal_caps = TerminalCaps{};
  terminal_graphics_probe(slave, slave);
  terminal.join();
  EXPECT_EQ(queries, probe_query_text());
  EXPECT_TRUE(terminal_caps.probed);
  EXPECT_TRUE(terminal_caps.kitty);
  EXPECT_TRUE(terminal_caps.sixel);
  EXPECT_EQ(terminal_caps.pixel_width, 1000);

  // A terminal that answers nothing costs the time limit, no more.
  terminal_caps = TerminalCaps{};
  terminal_graphics_probe(slave, slave);
  EXPECT_FALSE(terminal_caps.probed);
  close(slave);
  close(master);
  terminal_caps = saved;
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
  presenter_encode(p, PresentFrame{red, 20, 6}, picture);
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

TEST(DisplayThread, RunsOnATerminalAndLeavesItAsItWas) {
  setenv("RXIQ_DISPLAY", "blocks", 1);
  RxState state{rxiq12_variant};
  SpectrumBuffer spectrum;
  auto d = std::make_unique<DisplayState>();
  display_attach(*d, rxiq12_variant, spectrum, capture_print);
  printed.clear();

  PtyConsole pty;
  state.display_run.store(1);
  display_start(state, *d);
  std::vector<float> re(spectrum_size, 30.0f), im(spectrum_size, 0.0f);
  spectrum_publish(spectrum, re.data(), im.data());
  for (uint32_t w; (w = d->presenter.written.load()) == 0;) d->presenter.written.wait(w);

  // V twice at once: the running thread ends before the next one starts.
  state.display_run.store(0);
  state.display_run.store(1);
  display_start(state, *d);
  state.display_run.store(0);
  display_wait_end(*d);
  const std::string out = pty.finish();
  unsetenv("RXIQ_DISPLAY");

  const std::string geometry = " x = 0 y = 0   (800 - 480)\n";
  EXPECT_EQ(printed, geometry + key_help_text + key_help_text + geometry + key_help_text + key_help_text);
  EXPECT_EQ(count(out, "\x1b[22;0t"), 1u);  // the title is marked at the first start only
  EXPECT_EQ(count(out, "\x1b[16;30r"), 2u);  // half the rows keep the picture, per start
  EXPECT_GE(count(out, "\xe2\x96\x80"), 100u);
  EXPECT_EQ(count(out, "\x1b[r"), 2u);

  MiniTerminal t(30, 100);
  t.feed(out);
  EXPECT_EQ(t.top, 0);
  EXPECT_EQ(t.bottom, 29);
  for (int r = 0; r < 30; ++r) EXPECT_EQ(t.line(r).find('#'), std::string::npos) << r;
}

TEST(DisplayThread, OutputThatIsNoTerminalGetsOneMessageAndNoDrawing) {
  RxState state{rxiq12_variant};
  SpectrumBuffer spectrum;
  auto d = std::make_unique<DisplayState>();
  display_attach(*d, rxiq12_variant, spectrum, capture_print);
  printed.clear();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = console_out.fd;
  console_out.fd = fds[1];
  state.display_run.store(1);
  display_start(state, *d);
  display_wait_end(*d);  // ends by itself
  console_out.fd = saved;
  close(fds[1]);
  char byte;
  EXPECT_EQ(read(fds[0], &byte, 1), 0);
  close(fds[0]);
  EXPECT_EQ(printed, no_terminal_text);
  EXPECT_FALSE(d->surfaces_made);
}
