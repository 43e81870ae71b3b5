// The receiver's keyboard loop: key presses from standard input arrive as virtual-key
// codes, whether a terminal sent them as bytes or a Windows console as key records.
#pragma once

// Called for every key-down; returning false ends the reading (Esc).
using KeyHandler = bool (*)(void* context, int virtual_key);
// Called between keys at least once per key_idle_ms, also while no key comes, so that the
// receiver can look after itself from the thread that owns the console.
using KeyIdle = void (*)(void* context);

inline constexpr int key_idle_ms = 1000;

// Reads keys from fd until handler returns false. When the input ends without that, it
// never returns: an unattended receiver runs on (still calling idle) until a close or
// shutdown event ends the process.
void key_input_loop(int fd, KeyHandler handler, KeyIdle idle, void* context);
