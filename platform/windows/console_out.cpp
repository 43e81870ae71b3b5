#include "platform/console_out.h"

#include <io.h>
#include <string>
#include <windows.h>

ConsoleOut console_out;

namespace {

// A console shows UTF-16 whatever its code page, so text for a console goes there whole.
bool write_to_console(HANDLE handle, std::string_view text) {
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
  const int length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), wide_length);
  size_t done = 0;
  while (done < wide.size()) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(wide.size() - done), &written,
                       nullptr) ||
        written == 0) {
      break;  // a console that went away loses the message, never the receiver
    }
    done += written;
  }
  return true;
}

}  // namespace

size_t console_write(std::string_view text, bool last) {
  std::lock_guard<std::mutex> guard(console_out.lock);
  // Under the lock, so that no write can follow the last one.
  if (console_out.ended.load(std::memory_order_relaxed)) return 0;
  if (last) console_out.ended.store(true, std::memory_order_relaxed);
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(console_out.fd));
  if (write_to_console(handle, text)) return text.size();
  // Redirected: the bytes as they are (print_console made them the OEM code page's), in
  // the C library's text mode like any console program's output.
  size_t done = 0;
  while (done < text.size()) {
    const int n = _write(console_out.fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}
