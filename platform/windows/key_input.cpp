#include "platform/key_input.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

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

KeyboardRead read_of(KeyboardRead::Kind kind, int count = 0, int key = 0) {
  KeyboardRead read;
  read.kind = kind;
  read.count = count;
  read.key = key;
  return read;
}

// A console brings input records, one key press at a time.
KeyboardRead read_console(HANDLE input, int timeout_ms) {
  // The console handle is signalled while input records wait.
  if (WaitForSingleObject(input, static_cast<DWORD>(timeout_ms)) == WAIT_TIMEOUT) {
    return read_of(KeyboardRead::Kind::timed_out);
  }
  INPUT_RECORD record{};
  DWORD read = 0;
  if (!ReadConsoleInputW(input, &record, 1, &read)) return read_of(KeyboardRead::Kind::ended);
  if (read == 0) return read_of(KeyboardRead::Kind::again);
  ConsoleKeyRecord key;
  key.event_type = record.EventType;
  if (record.EventType == KEY_EVENT) {
    key.key_down = record.Event.KeyEvent.bKeyDown != 0;
    key.virtual_key = record.Event.KeyEvent.wVirtualKeyCode;
    key.character = static_cast<char16_t>(record.Event.KeyEvent.uChar.UnicodeChar);
  }
  const int code = console_key_code(key);
  return code != 0 ? read_of(KeyboardRead::Kind::key, 0, code) : read_of(KeyboardRead::Kind::again);
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

}  // namespace

KeyboardRead keyboard_read(int fd, uint8_t* bytes, int capacity, int timeout_ms) {
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    return read_console(input, timeout_ms);
  }
  // A pipe or a file: the same terminal byte sequences as on Linux. Key bytes, not text:
  // no end at 0x1A, no CR-LF folding.
  _setmode(fd, _O_BINARY);
  if (!byte_arrives_within(input, timeout_ms)) return read_of(KeyboardRead::Kind::timed_out);
  const int n = _read(fd, bytes, static_cast<unsigned>(capacity));
  if (n <= 0) return read_of(KeyboardRead::Kind::ended);
  return read_of(KeyboardRead::Kind::bytes, n);
}
