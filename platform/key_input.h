// Standard input as the receiver's keyboard: key presses arrive as virtual-key codes.
#pragma once

// Called for every key-down; returning false ends the reading (Esc).
using KeyHandler = bool (*)(void* context, int virtual_key);

// Reads keys from fd until handler returns false. When the input ends without that, it
// never returns: an unattended receiver runs on until a close or shutdown event ends
// the process.
void key_input_loop(int fd, KeyHandler handler, void* context);
