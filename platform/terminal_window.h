// The terminal seen as the receiver's window: its title and its size.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds since the system started, wrapping at 2^32.
uint32_t tick_count();

// The temporary title: tick count and process id as signed decimals, "%d/%d"; a tick
// count above 2^31 - 1 reads negative.
std::string console_title_text(uint32_t tick, int process_id);

// A console's own window, which pictures can be drawn on (Windows); Linux has none.
struct ConsoleWindow {
  void* handle = nullptr;         // the window, null when none was found
  bool visible = false;           // shown on the screen (Windows Terminal hides its consoles')
  bool windows_terminal = false;  // the console is a Windows Terminal tab (WT_SESSION)
};

// Marks the terminal with the temporary title for 40 ms, then puts the old title back.
// True when the output (console_out.fd) is a terminal (a console on Windows); writes
// nothing otherwise. On Windows, window receives the console's window: the top-level
// window that showed the temporary title, else the console's own.
bool find_console_window(ConsoleWindow* window = nullptr);

struct TerminalSize {
  int columns = 0;
  int rows = 0;
  int pixel_width = 0;   // 0 when the terminal tells none
  int pixel_height = 0;
};

// The size of the terminal on console_out.fd, as the system tells it (pixel sizes 0
// when it tells none).
TerminalSize terminal_size();
