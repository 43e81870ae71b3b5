// The display's process-wide state: the window, the two surfaces with their layout
// values and palette, and what links the display to the rest of the receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "display/palette.h"
#include "display/surface.h"
#include "dsp/fft_snapshot.h"
#include "terminal/terminal_presenter.h"
#include "platform/terminal_window.h"
#include "platform/window_drawing.h"
#include "variants/variant.h"

inline constexpr int surface_width = 1024;
inline constexpr int surface_height = 300;
inline constexpr int window_copy_height = 200;  // rows of frame_surface shown on the terminal
inline constexpr uint32_t line_pen_colour = rgb(255, 0, 0);
inline constexpr uint32_t label_colour = rgb(0, 200, 0);
inline constexpr uint32_t centre_mark_colour = rgb(0, 255, 0);

// printf-style message output; the receiver links print_console here.
using DisplayPrint = int (*)(const char* format, ...);

// Writes straight through console_write; used until the receiver links its own.
int display_print_plain(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct DisplayState {
  DisplayState() = default;
  DisplayState(const DisplayState&) = delete;
  DisplayState& operator=(const DisplayState&) = delete;
  ~DisplayState();  // ends a display thread still running

  // Links to the receiver, set before the first start (display_attach).
  const Variant* variant = &rxiq12_variant;
  SpectrumBuffer* spectrum = nullptr;  // no spectra arrive while null
  DisplayPrint print = display_print_plain;

  // Display thread only from here on.
  bool console_window = false;  // the terminal was found
  ConsoleWindow window;         // the console's own window, where there is one
  ConsoleOutputMode output_mode;  // the console's output mode before the picture
  bool surfaces_made = false;   // scale_surface and frame_surface exist
  Surface scale_surface;
  Surface frame_surface;
  int label_line_height = 0;
  uint32_t waterfall_palette[palette_size] = {};
  int waterfall_row = 135;
  int waterfall_depth = 80;
  int view_width = surface_width;
  int view_height = window_copy_height;  // fewer rows where the terminal takes no more
  bool unknown_presenter_reported = false;
  bool have_last_frequency = false;
  int32_t last_frequency = 0;
  float spectrum_re[spectrum_size] = {};  // the finished transform being drawn
  float spectrum_im[spectrum_size] = {};
  std::vector<BlocksLabel> scale_labels;  // the labels of the last drawn scale, as text
  bool presenting = false;  // frames go to presenter
  TerminalPresenter presenter;

  // The latest display thread, and the start count that tells an older thread to end
  // even if display_run was set again before it looked. Started by the main thread on
  // V; joined by the main thread or by the shutdown on a close event, hence the lock.
  std::mutex thread_lock;
  std::thread thread;
  bool closed = false;  // shut down: no display starts any more
  std::atomic<uint32_t> generation{0};
};

// Links the display to the receiver's variant, spectrum hand-over and message output.
void display_attach(DisplayState& d, const Variant& variant, SpectrumBuffer& spectrum,
                    DisplayPrint print);

// Makes both surfaces (cleared, red pen, green text) and measures the font.
void display_make_surfaces(DisplayState& d);
