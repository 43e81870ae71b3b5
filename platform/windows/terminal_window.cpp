#include "platform/terminal_window.h"

#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "platform/console_out.h"

namespace {
constexpr DWORD title_show_ms = 40;
constexpr DWORD title_buffer_size = 1024;
}  // namespace

uint32_t tick_count() { return GetTickCount(); }

bool find_console_window(ConsoleWindow* window) {
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(console_out.fd));
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  if (!window) return true;
  // The saved title is kept in UTF-16 so that any title comes back whole.
  wchar_t saved[title_buffer_size] = {};
  const DWORD saved_length = GetConsoleTitleW(saved, title_buffer_size);
  const std::string title =
      console_title_text(GetTickCount(), static_cast<int>(GetCurrentProcessId()));
  SetConsoleTitleA(title.c_str());
  Sleep(title_show_ms);
  HWND found = FindWindowA(nullptr, title.c_str());
  SetConsoleTitleW(saved_length > 0 ? saved : L"");
  // Windows Terminal shows the title on its own window and keeps the console's hidden:
  // the console's own window decides whether there is anything to draw on.
  const HWND own = GetConsoleWindow();
  if (!found) found = own;
  window->handle = found;
  window->visible = found && IsWindowVisible(found) && (!own || IsWindowVisible(own));
  const char* session = std::getenv("WT_SESSION");
  window->windows_terminal = session && *session;
  return true;
}

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
