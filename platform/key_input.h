// Standard input as the receiver's keyboard, one wait at a time: a terminal or a pipe
// brings bytes (which the terminal's key decoder turns into keys), a Windows console
// brings key presses already known by their virtual-key codes.
#pragma once

#include <cstdint>

struct KeyboardRead {
  enum class Kind {
    bytes,      // count bytes were stored
    key,        // one key-down, its virtual-key code in key
    timed_out,  // nothing came within the time
    again,      // a signal or a record that is no key press: wait again
    ended,      // the input ended or failed; nothing more will come
  };
  Kind kind = Kind::again;
  int count = 0;
  int key = 0;
};

// Waits at most timeout_ms for input on fd and reads what came, up to capacity bytes.
KeyboardRead keyboard_read(int fd, uint8_t* bytes, int capacity, int timeout_ms);
