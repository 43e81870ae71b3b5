// Drawing straight onto the console's own window (a Windows console window, through
// GDI): each frame goes into a memory bitmap and is copied from there to the top-left
// corner of the window's client area; at the end the window repaints its own text.
// Linux has no such window: there the calls do nothing.
#pragma once

#include <cstdint>

#include "platform/terminal_window.h"

// Whether this system's console has a window of its own to draw on.
extern const bool console_window_drawing;

// The off-screen side of the drawing: a 32-bit bitmap the frame's pixels are put in.
// Made by the first frame, remade when a frame of another size comes; the writer
// thread's alone.
struct WindowPainter {
  void* memory_dc = nullptr;
  void* bitmap = nullptr;
  void* old_bitmap = nullptr;  // what the memory context held before bitmap
  uint32_t* bits = nullptr;    // bitmap's pixels, 0x00RRGGBB, top row first
  int width = 0;
  int height = 0;
};

// The window's outer rectangle in screen coordinates, as left, top, width, height.
struct WindowRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};
WindowRect window_rectangle(void* window);

// Puts a width x height frame of 0x00BBGGRR pixels at the top-left corner of window's
// client area (clipped to it). False when the bitmap could not be made.
bool window_paint(WindowPainter& painter, void* window, const uint32_t* pixels, int width,
                  int height);

// Frees the bitmap and its memory context.
void window_painter_release(WindowPainter& painter);

// Makes window repaint its whole client area (no erasing first), so that the console's
// text replaces the picture.
void window_repaint(void* window);

// A Windows console interprets escape sequences only with virtual-terminal processing
// on. Turns it on for the console output and returns the mode to put back afterwards.
struct ConsoleOutputMode {
  bool saved = false;
  uint32_t mode = 0;
};
ConsoleOutputMode console_virtual_terminal_on();
void console_output_mode_restore(const ConsoleOutputMode& mode);
