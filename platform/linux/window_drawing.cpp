// Linux: a terminal has no window of its own to draw on; pictures go through the
// terminal presenters instead.
#include "platform/window_drawing.h"

const bool console_window_drawing = false;

WindowRect window_rectangle(void*) { return {}; }

bool window_paint(WindowPainter&, void*, const uint32_t*, int, int) { return false; }

void window_painter_release(WindowPainter& painter) { painter = WindowPainter{}; }

void window_repaint(void*) {}

ConsoleOutputMode console_virtual_terminal_on() { return {}; }

void console_output_mode_restore(const ConsoleOutputMode&) {}
