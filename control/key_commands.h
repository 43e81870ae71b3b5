// The receiver's keys. Keys only record requests in RxState; the thread that owns a
// device applies them on its next pass.
#pragma once

struct Receiver;

// Acts on one key-down of the given virtual-key code. Returns false for Esc, which
// ends the key loop; true for every other key.
bool key_command(Receiver& receiver, int virtual_key);
