// The terminal seen as the receiver's window: its title, its size, and the rows at its
// top that a picture keeps while messages scroll below.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds since the system started, wrapping at 2^32.
uint32_t tick_count();

// The temporary title: tick count and process id as signed decimals, "%d/%d"; a tick
// count above 2^31 - 1 reads negative.
std::string console_title_text(uint32_t tick, int process_id);

// The escape sequences that push the title on the terminal's title stack, set it, and
// pop it back.
std::string title_push_text();
std::string title_set_text(const std::string& title);
std::string title_pop_text();

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

// The size of the terminal on console_out.fd; pixel sizes fall back to what the
// start-up probe heard.
TerminalSize terminal_size();

// Keeps the top picture_rows rows for a picture: the text on the screen moves down
// under them (its top lines into the scrollback only if the screen is full), messages
// scroll in the rows below and the cursor stays right below the text.
std::string picture_area_open_text(int picture_rows, int terminal_rows);

// Gives the rows back: the scroll region covers the whole terminal again, the text
// below the picture moves up into its rows, and the cursor follows it.
std::string picture_area_close_text(int picture_rows);
