// Turns the bytes a terminal sends for key presses into virtual-key codes.
#pragma once

#include <cstdint>
#include <vector>

// Virtual-key codes of the keys the receiver knows.
enum VirtualKey : int {
  vk_back = 0x08,    // Backspace
  vk_return = 0x0D,  // Enter
  vk_escape = 0x1B,
  vk_prior = 0x21,  // PgUp
  vk_next = 0x22,   // PgDn
  vk_end = 0x23,
  vk_home = 0x24,
  vk_left = 0x25,
  vk_up = 0x26,
  vk_right = 0x27,
  vk_down = 0x28,
  vk_numpad0 = 0x60,  // to 0x69 for 9: the keypad's digits on a Windows console
  vk_decimal = 0x6E,  // the keypad's decimal point
  vk_oem_comma = 0xBC,
  vk_oem_period = 0xBE,
};

// How long a lone ESC byte waits for a following byte before it counts as the Esc key.
// A sequence, terminal string or paste that sees no byte for this long is abandoned, so
// that a string introducer typed as Alt+key (or a paste start without its end) never
// swallows the keys that follow.
inline constexpr int lone_escape_ms = 50;

// A paste longer than this is abandoned and its bytes decode as keys again.
inline constexpr int max_paste_bytes = 64 * 1024;

struct KeyDecoder {
  enum class State { ground, escape, csi, ss3, string, string_escape, paste, paste_escape, paste_csi };
  State state = State::ground;
  std::vector<uint8_t> params;  // parameter bytes of the CSI sequence being read
  int paste_bytes = 0;          // bytes of the paste so far
};

// Feeds one byte; appends the codes of completed keys to keys.
void key_decoder_feed(KeyDecoder& decoder, uint8_t byte, std::vector<int>& keys);

// True while the decoder is inside a sequence, string or paste: a lone ESC waiting to be
// told apart from the start of a sequence among them.
bool key_decoder_waiting(const KeyDecoder& decoder);

// Called when lone_escape_ms passed without a byte: a waiting ESC becomes the Esc key,
// anything else unfinished is dropped, and decoding starts afresh.
void key_decoder_timeout(KeyDecoder& decoder, std::vector<int>& keys);
