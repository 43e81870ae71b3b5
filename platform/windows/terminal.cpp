#include "platform/terminal.h"

#include <atomic>
#include <io.h>
#include <windows.h>


namespace {

struct SavedConsole {
  HANDLE input = INVALID_HANDLE_VALUE;
  DWORD original = 0;
  DWORD raw = 0;
  std::atomic<bool> saved{false};  // set after original is stored
};
SavedConsole saved_console;

LONG WINAPI restore_on_crash(EXCEPTION_POINTERS*) {
  terminal_restore();
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool terminal_is(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// The C library keeps descriptors 0 to 2 for the standard streams even when the process
// has no such handles, so no file opened later can take their numbers.
void standard_streams_keep_open() {}

bool terminal_enter_raw(int fd) {
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return false;
  saved_console.input = input;
  saved_console.original = mode;
  // Keys one at a time without echo; window and mouse records arrive too (and are
  // skipped by the key loop). Ctrl+C stays a control event.
  saved_console.raw =
      (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_WINDOW_INPUT |
      ENABLE_MOUSE_INPUT;
  saved_console.saved.store(true, std::memory_order_release);
  return SetConsoleMode(input, saved_console.raw) != 0;
}

void terminal_restore() {
  if (saved_console.saved.load(std::memory_order_acquire)) {
    SetConsoleMode(saved_console.input, saved_console.original);
  }
}

void terminal_reenter_raw() {
  if (saved_console.saved.load(std::memory_order_acquire)) {
    SetConsoleMode(saved_console.input, saved_console.raw);
  }
}

void terminal_restore_on_fatal_signals() { SetUnhandledExceptionFilter(restore_on_crash); }

// A Windows console answers no queries on its input; the picture is drawn with GDI or
// chosen by RXIQ_DISPLAY.
bool terminal_answers_queries(int, int) { return false; }

bool terminal_write_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const size_t left = text.size() - sent;
    const int n = _write(fd, text.data() + sent, static_cast<unsigned>(left > 1u << 30 ? 1u << 30 : left));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Never reached while the console answers no queries.
int terminal_read_byte(int, int) { return terminal_read_end; }
