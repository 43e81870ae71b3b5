// The spectrum display's thread: finds the terminal, keeps the picture at its top while
// display_run is set, and gives the rows back when it stops.
#pragma once

#include "display/display_state.h"

struct RxState;

// Printed when the display starts and when it stops.
inline constexpr const char* key_help_text =
    " -------------------------------------- \n"
    " N - AGC mode, Home/End - gain control (for AGC mode = 2),\n"
    " M - tuning control,\n"
    " Left, Right - jump channels (change freq),\n"
    " F - type a frequency (145800000, 145800k, 145.8M),\n"
    " Up, Down - SQL-level, L - listening mode, Esc - exit.\n"
    " -------------------------------------- \n";

// The window geometry line: left, top, width, height.
inline constexpr const char* window_geometry_format = " x = %d y = %d   (%d - %d)\n";

// Printed instead of drawing when the output is not a terminal.
inline constexpr const char* no_terminal_text =
    "Display: standard output is not a terminal, nothing to draw on\n";

// Says which presenter draws and how large the picture is: name, width, height, unit.
inline constexpr const char* presenter_line_format = "Display: %s, %dx%d %s\n";

// An RXIQ_DISPLAY value that names no presenter, reported once; the probe decides.
inline constexpr const char* unknown_presenter_format =
    "Display: RXIQ_DISPLAY=%s is not known (kitty, sixel or blocks); using the terminal's "
    "answers\n";

// The same on a Windows console, whose choice comes from the console window.
inline constexpr const char* unknown_console_presenter_format =
    "Display: RXIQ_DISPLAY=%s is not known (gdi, kitty, sixel or blocks); choosing from the "
    "console\n";

// Starts display_thread (display_run is already set). A display thread that is still
// running is told to end and waited for first, so only one thread ever draws.
void display_start(RxState& state, DisplayState& display);

// Waits for the latest display thread to end (after display_run was cleared).
void display_wait_end(DisplayState& display);

// Shutdown: waits for the latest display thread to end (after display_run was cleared)
// and refuses every later start, so that no display thread outlives the receiver.
void display_close(DisplayState& display);

// The thread body. generation is the start count it was started under; it runs while
// display_run is set and no later start has happened.
int display_thread(RxState& state, DisplayState& display, uint32_t generation);
