// Console input records as keys: what the key loop reads from a Windows console.
#pragma once

#include <cstdint>

// The parts of an INPUT_RECORD the receiver looks at.
struct ConsoleKeyRecord {
  uint16_t event_type = 0;   // KEY_EVENT (1) for keys; mouse, size, menu, focus otherwise
  bool key_down = false;
  uint16_t virtual_key = 0;  // the VK_ code
  char16_t character = 0;    // the UTF-16 character the key typed, 0 for none
};

// The virtual-key code of a key-down record, or 0 for a record that is no key press.
// Keys are known by their virtual-key code, so letters act in either case; a record
// without one (0) falls back to the letter it typed.
int console_key_code(const ConsoleKeyRecord& record);
