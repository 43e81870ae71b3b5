#include "display/display_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "core/rx_state.h"
#include "display/scale.h"
#include "display/trace_and_waterfall.h"
#include "platform/console_out.h"
#include "platform/terminal_graphics.h"
#include "platform/terminal_window.h"
#include "platform/thread_name.h"

namespace {

constexpr auto frame_pause = std::chrono::milliseconds(10);
constexpr int fallback_cell_width = 8;
constexpr int fallback_cell_height = 16;
constexpr int max_block_rows = window_copy_height / 2;

// Rows the picture keeps: the height of its pixel rows for the pixel presenters, and
// half the terminal for the blocks; always at least one row left for messages.
int picture_rows_for(PresenterKind kind, const TerminalSize& size) {
  int rows;
  if (kind == PresenterKind::blocks) {
    rows = std::min(size.rows / 2, max_block_rows);
  } else {
    int cell_height = fallback_cell_height;
    if (terminal_caps.cell_height > 0) {
      cell_height = terminal_caps.cell_height;
    } else if (size.pixel_height > 0 && size.rows > 0) {
      cell_height = std::max(1, size.pixel_height / size.rows);
    }
    rows = (window_copy_height + cell_height - 1) / cell_height;
  }
  return std::clamp(rows, 1, std::max(1, size.rows - 1));
}

bool keep_running(const RxState& state, const DisplayState& d, uint32_t generation) {
  return state.display_run.load(std::memory_order_relaxed) != 0 &&
         d.generation.load(std::memory_order_acquire) == generation;
}

}  // namespace

int display_print_plain(const char* format, ...) {
  char text[2000];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return static_cast<int>(console_write(text));
}

DisplayState::~DisplayState() {
  generation.fetch_add(1, std::memory_order_acq_rel);
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
  const uint32_t generation = display.generation.fetch_add(1, std::memory_order_acq_rel) + 1u;
  if (display.thread.joinable()) display.thread.join();
  display.thread = std::thread(
      [&state, &display, generation] {
        name_current_thread("display");
        display_thread(state, display, generation);
      });
}

void display_wait_end(DisplayState& display) {
  if (display.thread.joinable()) display.thread.join();
}

int display_thread(RxState& state, DisplayState& d, uint32_t generation) {
  if (!d.surfaces_made) {
    d.console_window = find_console_window();
    if (!d.console_window) {
      d.print("%s", no_terminal_text);
      return 0;
    }
    display_make_surfaces(d);
  }
  build_waterfall_palette(d.waterfall_palette);

  const TerminalSize size = terminal_size();
  const int width = size.pixel_width > 0 ? size.pixel_width : size.columns * fallback_cell_width;
  const int height =
      size.pixel_height > 0 ? size.pixel_height : size.rows * fallback_cell_height;
  d.view_width = width;

  TerminalPresenter& p = d.presenter;
  p.kind = presenter_from_environment();
  p.columns = size.columns;
  p.picture_rows = picture_rows_for(p.kind, size);
  console_write(picture_area_open_text(p.picture_rows, size.rows));
  presenter_start(p);
  d.presenting = true;

  d.print(window_geometry_format, 0, 0, width, height);
  d.print("%s", key_help_text);
  draw_scale(d, state.frequency.load(std::memory_order_relaxed));

  while (keep_running(state, d, generation)) {
    std::this_thread::sleep_for(frame_pause);
    display_frame(d, state);
  }

  d.presenting = false;
  presenter_stop(p);
  console_write(presenter_erase_text(p) + picture_area_close_text(p.picture_rows));
  d.print("%s", key_help_text);
  return 0;
}
