#include "display/display_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "core/print_console.h"
#include "core/rx_state.h"
#include "display/scale.h"
#include "display/trace_and_waterfall.h"
#include "platform/console_out.h"
#include "terminal/picture_area.h"
#include "terminal/terminal_graphics.h"
#include "platform/terminal_window.h"
#include "platform/thread_name.h"
#include "platform/window_drawing.h"

namespace {

constexpr auto frame_pause = std::chrono::milliseconds(10);
constexpr int fallback_cell_width = 8;
constexpr int fallback_cell_height = 16;
// The blocks picture: the trace band, a row of label text, then the waterfall at two
// lines per row, as many rows as the terminal spares but no more than this many.
constexpr int max_block_waterfall_rows = 16;
// Rows left to scrolling messages below the picture where the terminal is tall enough.
constexpr int message_rows = 8;
// The scale band and the newest waterfall line are never cut off; only older lines are.
constexpr int min_picture_height = 136;

int cell_height_of(const TerminalSize& size) {
  if (terminal_caps.cell_height > 0) return terminal_caps.cell_height;
  if (size.pixel_height > 0 && size.rows > 0) return std::max(1, size.pixel_height / size.rows);
  return fallback_cell_height;
}

// Pixel rows of the picture: all 200 where the terminal keeps message_rows free below
// them, fewer waterfall lines in a short one, and no more than a sixel terminal takes.
int picture_height_for(PresenterKind kind, const TerminalSize& size) {
  int height = window_copy_height;
  if (kind == PresenterKind::blocks) return height;
  const int free_height = (size.rows - message_rows) * cell_height_of(size);
  height = std::min(height, std::max(free_height, min_picture_height));
  if (kind == PresenterKind::sixel) height = std::min(height, sixel_height_limit(terminal_caps));
  return std::max(height, 1);
}

// Rows the picture keeps: the height of its pixel rows for the pixel presenters, and
// the band, labels and as many waterfall rows as leave message_rows for the blocks;
// always at least one row left for messages.
int picture_rows_for(PresenterKind kind, const TerminalSize& size, int picture_height) {
  int rows;
  if (kind == PresenterKind::blocks) {
    const int above = blocks_trace_rows + 1;
    rows = above + std::clamp(size.rows - message_rows - above, 1, max_block_waterfall_rows);
  } else {
    const int cell_height = cell_height_of(size);
    rows = (picture_height + cell_height - 1) / cell_height;
  }
  return std::clamp(rows, 1, std::max(1, size.rows - 1));
}

// The picture in the terminal's top rows, written by a terminal presenter; messages
// scroll below it.
void start_on_terminal(DisplayState& d) {
  TerminalPresenter& p = d.presenter;
  const TerminalSize size = terminal_size_with_probe();
  const int width = size.pixel_width > 0 ? size.pixel_width : size.columns * fallback_cell_width;
  const int height =
      size.pixel_height > 0 ? size.pixel_height : size.rows * fallback_cell_height;
  // A sixel picture wider than the terminal takes is refused whole: show the centre.
  d.view_width = p.kind == PresenterKind::sixel ? std::min(width, sixel_width_limit(terminal_caps))
                                                : width;
  d.view_height = picture_height_for(p.kind, size);
  p.columns = size.columns;
  p.picture_rows = picture_rows_for(p.kind, size, d.view_height);
  p.blocks_layout.columns = size.columns;
  p.blocks_layout.rows = p.picture_rows;
  p.blocks_layout.terminal_rows = size.rows;
  p.blocks_layout.label_top = d.waterfall_row - 40 + d.label_line_height;
  p.blocks_layout.waterfall_top = d.waterfall_row;
  p.blocks_layout.label_colour = label_colour;
  d.output_mode = console_virtual_terminal_on();
  console_write(picture_area_open_text(p.picture_rows, size.rows));
  presenter_start(p);
  d.presenting = true;

  d.print(window_geometry_format, 0, 0, width, height);
  if (p.kind == PresenterKind::blocks) {
    d.print(presenter_line_format, presenter_name(p.kind),
            std::min(p.columns, view_columns(d.view_width).count), p.picture_rows, "cells");
  } else {
    d.print(presenter_line_format, presenter_name(p.kind), view_columns(d.view_width).count,
            d.view_height, "px");
  }
}

// The picture over the top-left corner of the console window's client area, over the
// console's text, as wide as the window.
void start_on_window(DisplayState& d) {
  TerminalPresenter& p = d.presenter;
  const WindowRect r = window_rectangle(d.window.handle);
  d.view_width = r.width;
  d.view_height = window_copy_height;
  p.window = d.window.handle;
  presenter_start(p);
  d.presenting = true;
  d.print(window_geometry_format, r.left, r.top, r.width, r.height);
  d.print(presenter_line_format, presenter_name(p.kind), view_columns(d.view_width).count,
          d.view_height, "px");
}

bool keep_running(const RxState& state, const DisplayState& d, uint32_t generation) {
  return state.display_run.load(std::memory_order_relaxed) != 0 &&
         d.generation.load(std::memory_order_acquire) == generation;
}

}  // namespace

int display_print_plain(const char* format, ...) {
  char text[console_buffer_size];  // the same limit as every other console message
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return static_cast<int>(console_write(text));
}

DisplayState::~DisplayState() {
  generation.fetch_add(1, std::memory_order_acq_rel);
  std::lock_guard<std::mutex> lock(thread_lock);
  if (thread.joinable()) thread.join();
}

void display_attach(DisplayState& d, const Variant& variant, SpectrumBuffer& spectrum,
                    DisplayPrint print) {
  d.variant = &variant;
  d.spectrum = &spectrum;
  d.print = print;
}

void display_make_surfaces(DisplayState& d) {
  surface_make(d.scale_surface, surface_width, surface_height, line_pen_colour, label_colour);
  surface_make(d.frame_surface, surface_width, surface_height, line_pen_colour, label_colour);
  d.label_line_height = font_height + font_external_leading;
  d.surfaces_made = true;
}

void display_start(RxState& state, DisplayState& display) {
  std::lock_guard<std::mutex> lock(display.thread_lock);
  if (display.closed) return;
  const uint32_t generation = display.generation.fetch_add(1, std::memory_order_acq_rel) + 1u;
  if (display.thread.joinable()) display.thread.join();
  display.thread = std::thread(
      [&state, &display, generation] {
        name_current_thread("display");
        display_thread(state, display, generation);
      });
}

void display_wait_end(DisplayState& display) {
  std::lock_guard<std::mutex> lock(display.thread_lock);
  if (display.thread.joinable()) display.thread.join();
}

void display_close(DisplayState& display) {
  std::lock_guard<std::mutex> lock(display.thread_lock);
  display.closed = true;
  if (display.thread.joinable()) display.thread.join();
}

int display_thread(RxState& state, DisplayState& d, uint32_t generation) {
  if (!d.surfaces_made) {
    d.console_window = find_console_window(&d.window);
    if (!d.console_window) {
      d.print("%s", no_terminal_text);
      return 0;
    }
    display_make_surfaces(d);
  }
  build_waterfall_palette(d.waterfall_palette);

  TerminalPresenter& p = d.presenter;
  p.kind = presenter_from_environment(d.window);
  if (const char* unknown = presenter_unknown_forced(); unknown && !d.unknown_presenter_reported) {
    d.print(console_window_drawing ? unknown_console_presenter_format : unknown_presenter_format,
            unknown);
    d.unknown_presenter_reported = true;
  }
  if (p.kind == PresenterKind::gdi) {
    start_on_window(d);
  } else {
    start_on_terminal(d);
  }
  d.print("%s", key_help_text);
  draw_scale(d, state.frequency.load(std::memory_order_relaxed));

  while (keep_running(state, d, generation)) {
    std::this_thread::sleep_for(frame_pause);
    display_frame(d, state);
  }

  d.presenting = false;
  presenter_stop(p);  // the console window, if drawn on, repaints its text
  if (p.kind != PresenterKind::gdi) {
    console_write(presenter_erase_text(p) + picture_area_close_text(p.picture_rows));
    console_output_mode_restore(d.output_mode);
  }
  d.print("%s", key_help_text);
  return 0;
}
