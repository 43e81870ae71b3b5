// The receiver's keys. Keys only record requests in RxState; the thread that owns a
// device applies them on its next pass.
#pragma once

#include "core/rx_state.h"

// What the keys act on: the receiver's requests, and how V starts the display thread.
struct KeyTargets {
  RxState& state;
  void (*start_display)(void* context) = nullptr;
  void* context = nullptr;
};

// Acts on one key-down of the given virtual-key code. Returns false for Esc, which
// ends the key loop; true for every other key.
bool key_command(const KeyTargets& keys, int virtual_key);
