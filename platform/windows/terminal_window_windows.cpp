#include "platform/terminal_window.h"

#include <windows.h>

uint32_t tick_count() { return GetTickCount(); }

// Drawing on the console window comes with GDI; until then there is nothing to draw on
// and the display says so.
bool find_console_window() { return false; }

TerminalSize terminal_size() {
  TerminalSize size;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    size.columns = info.srWindow.Right - info.srWindow.Left + 1;
    size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
  if (size.columns <= 0) size.columns = 80;
  if (size.rows <= 0) size.rows = 24;
  return size;
}
