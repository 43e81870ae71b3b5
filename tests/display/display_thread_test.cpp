// Whole display runs on a pseudo-terminal, and on an output that is no terminal.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/rx_state.h"
#include "display/display_thread.h"
#include "platform/console_out.h"
#include "tests/support/console_capture.h"
#include "terminal/terminal_graphics.h"
#include "tests/support/terminal_harness.h"
#include "tests/support/text_search.h"

namespace {

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

}  // namespace

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
  const std::string start = geometry + "Display: blocks, 100x22 cells\n" + key_help_text;
  EXPECT_EQ(printed, start + key_help_text + start + key_help_text);
  EXPECT_EQ(count_of(out, "\x1b[22;0t"), 1u);  // the title is marked at the first start only
  EXPECT_EQ(count_of(out, "\x1b[22L\x1b[23;30r"), 2u);  // 8 rows stay for messages, per start
  EXPECT_GE(count_of(out, "\xe2\x96\x80"), 100u);
  EXPECT_EQ(count_of(out, "\x1b[r"), 2u);

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
  {
    ConsoleCapture output;  // a file, not a terminal: nothing may be drawn on it
    state.display_run.store(1);
    display_start(state, *d);
    display_wait_end(*d);  // ends by itself
    EXPECT_EQ(output.text(), "");
  }
  EXPECT_EQ(printed, no_terminal_text);
  EXPECT_FALSE(d->surfaces_made);
}

TEST(DisplayThread, SixelPictureStaysWithinTheTerminalsLargestGraphic) {
  setenv("RXIQ_DISPLAY", "sixel", 1);
  const TerminalCaps saved = terminal_caps;
  // A reported limit, and none (xterm's 1000 x 1000 is assumed), on a 1200 px wide terminal.
  for (const auto& [reported_width, reported_height] : {std::pair{600, 150}, std::pair{0, 0}}) {
    terminal_caps = TerminalCaps{};
    terminal_caps.sixel_max_width = reported_width;
    terminal_caps.sixel_max_height = reported_height;
    RxState state{rxiq12_variant};
    SpectrumBuffer spectrum;
    auto d = std::make_unique<DisplayState>();
    display_attach(*d, rxiq12_variant, spectrum, capture_print);
    printed.clear();
    PtyConsole pty(1200, 800);
    state.display_run.store(1);
    display_start(state, *d);
    std::vector<float> re(spectrum_size, 30.0f), im(spectrum_size, 0.0f);
    spectrum_publish(spectrum, re.data(), im.data());
    for (uint32_t w; (w = d->presenter.written.load()) == 0;) d->presenter.written.wait(w);
    state.display_run.store(0);
    display_wait_end(*d);
    const std::string out = pty.finish();

    const int width = reported_width ? 600 : 1000, height = reported_height ? 150 : 200;
    const std::string raster = "\"1;1;" + std::to_string(width) + ";" + std::to_string(height) + "#";
    EXPECT_GE(count_of(out, raster), 1u) << raster;
    EXPECT_EQ(count_of(out, "\"1;1;"), count_of(out, raster));
    EXPECT_NE(printed.find("Display: sixel, " + std::to_string(width) + "x" + std::to_string(height) + " px\n"),
              std::string::npos) << printed;
    // Closing scrolls the picture's rows out of a region of their own: no pixel stays.
    EXPECT_EQ(count_of(out, "\x1b[1;" + std::to_string(d->presenter.picture_rows) + "r\x1b[" +
                                std::to_string(d->presenter.picture_rows) + "S"),
              1u);
  }
  terminal_caps = saved;
  unsetenv("RXIQ_DISPLAY");
}

TEST(DisplayThread, AnUnknownPresenterNameIsReportedOnceAndTheTerminalDecides) {
  setenv("RXIQ_DISPLAY", "Sixel", 1);
  RxState state{rxiq12_variant};
  SpectrumBuffer spectrum;
  auto d = std::make_unique<DisplayState>();
  display_attach(*d, rxiq12_variant, spectrum, capture_print);
  printed.clear();
  PtyConsole pty;
  for (int start = 0; start < 2; ++start) {
    state.display_run.store(1);
    display_start(state, *d);
    state.display_run.store(0);
    display_wait_end(*d);
  }
  pty.finish();
  unsetenv("RXIQ_DISPLAY");
  EXPECT_EQ(count_of(printed, "Display: RXIQ_DISPLAY=Sixel is not known (kitty, sixel or blocks); "
                              "using the terminal's answers\n"),
            1u);
  EXPECT_EQ(count_of(printed, "Display: "), 3u);  // and which presenter, at each start
}
