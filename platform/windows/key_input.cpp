#include "platform/key_input.h"

#include <fcntl.h>
#include <io.h>
#include <vector>
#include <windows.h>

#include "platform/key_decoder.h"
#include "platform/windows/console_keys.h"

int console_key_code(const ConsoleKeyRecord& record) {
  if (record.event_type != KEY_EVENT || !record.key_down) return 0;
  if (record.virtual_key != 0) return record.virtual_key;
  const char16_t c = record.character;
  if (c >= u'a' && c <= u'z') return c - u'a' + 'A';
  if (c >= u'A' && c <= u'Z') return c;
  return 0;
}

namespace {

[[noreturn]] void wait_for_the_end(KeyIdle idle, void* context) {
  // Unattended: only a close or shutdown event ends the process now.
  for (;;) {
    idle(context);
    Sleep(key_idle_ms);
  }
}

void read_console(HANDLE input, KeyHandler handler, KeyIdle idle, void* context) {
  for (;;) {
    idle(context);
    // The console handle is signalled while input records wait.
    if (WaitForSingleObject(input, key_idle_ms) == WAIT_TIMEOUT) continue;
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputW(input, &record, 1, &read)) wait_for_the_end(idle, context);
    if (read == 0) continue;
    ConsoleKeyRecord key;
    key.event_type = record.EventType;
    if (record.EventType == KEY_EVENT) {
      key.key_down = record.Event.KeyEvent.bKeyDown != 0;
      key.virtual_key = record.Event.KeyEvent.wVirtualKeyCode;
      key.character = static_cast<char16_t>(record.Event.KeyEvent.uChar.UnicodeChar);
    }
    const int code = console_key_code(key);
    if (code != 0 && !handler(context, code)) return;
  }
}

// Whether a byte arrives on a pipe within ms; a file or anything else that cannot be
// asked says yes, since reading it never blocks for long.
bool byte_arrives_within(HANDLE input, int ms) {
  const DWORD until = GetTickCount() + static_cast<DWORD>(ms);
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return true;
    if (available > 0) return true;
    if (static_cast<LONG>(GetTickCount() - until) >= 0) return false;
    Sleep(5);
  }
}

// A pipe or file on standard input: the same terminal byte sequences as on Linux.
void read_bytes(int fd, HANDLE input, KeyHandler handler, KeyIdle idle, void* context) {
  KeyDecoder decoder;
  std::vector<int> keys;
  uint8_t bytes[256];
  for (;;) {
    idle(context);
    keys.clear();
    if (key_decoder_waiting(decoder) && !byte_arrives_within(input, lone_escape_ms)) {
      key_decoder_timeout(decoder, keys);
    } else {
      const int n = _read(fd, bytes, sizeof bytes);
      if (n <= 0) {
        key_decoder_timeout(decoder, keys);  // an ESC right before the end still counts
        for (int key : keys) {
          if (!handler(context, key)) return;
        }
        wait_for_the_end(idle, context);
      }
      for (int i = 0; i < n; ++i) key_decoder_feed(decoder, bytes[i], keys);
    }
    for (int key : keys) {
      if (!handler(context, key)) return;
    }
  }
}

}  // namespace

void key_input_loop(int fd, KeyHandler handler, KeyIdle idle, void* context) {
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    read_console(input, handler, idle, context);
  } else {
    // Key bytes, not text: no end at 0x1A, no CR-LF folding.
    _setmode(fd, _O_BINARY);
    read_bytes(fd, input, handler, idle, context);
  }
}
