#include "terminal/key_decoder.h"

#include <string>

namespace {

// Letters count in either case, as their upper-case code; digits as themselves; and the
// keys a typed frequency needs besides.
int plain_key(uint8_t byte) {
  if (byte >= 'a' && byte <= 'z') return byte - 'a' + 'A';
  if ((byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) return byte;
  switch (byte) {
    case '.': return vk_oem_period;
    case ',': return vk_oem_comma;
    case '\r': case '\n': return vk_return;
    case 0x7F: case 0x08: return vk_back;
    default: return 0;
  }
}

// The final byte of ESC [ ... or ESC O ... without parameters or modifiers.
int cursor_key(uint8_t final_byte) {
  switch (final_byte) {
    case 'A': return vk_up;
    case 'B': return vk_down;
    case 'C': return vk_right;
    case 'D': return vk_left;
    case 'H': return vk_home;
    case 'F': return vk_end;
    default: return 0;
  }
}

// ESC [ n ~ forms.
int tilde_key(const std::string& number) {
  if (number == "1" || number == "7") return vk_home;
  if (number == "4" || number == "8") return vk_end;
  if (number == "5") return vk_prior;
  if (number == "6") return vk_next;
  return 0;
}

void finish_csi(KeyDecoder& d, uint8_t final_byte, std::vector<int>& keys) {
  std::string params(d.params.begin(), d.params.end());
  d.params.clear();
  d.state = KeyDecoder::State::ground;
  int key = 0;
  if (params.empty()) {
    key = cursor_key(final_byte);
  } else if (final_byte == '~') {
    if (params == "200") {  // bracketed paste: pasted text is not keystrokes
      d.state = KeyDecoder::State::paste;
      d.paste_bytes = 0;
      return;
    }
    key = tilde_key(params);
  }
  // Sequences with modifiers (ESC [ 1 ; 5 C) or unknown finals are ignored whole.
  if (key) keys.push_back(key);
}

}  // namespace

bool key_decoder_waiting(const KeyDecoder& decoder) {
  return decoder.state != KeyDecoder::State::ground;
}

void key_decoder_timeout(KeyDecoder& decoder, std::vector<int>& keys) {
  if (decoder.state == KeyDecoder::State::escape) keys.push_back(vk_escape);
  decoder.state = KeyDecoder::State::ground;
  decoder.params.clear();
  decoder.paste_bytes = 0;
}

void key_decoder_feed(KeyDecoder& d, uint8_t byte, std::vector<int>& keys) {
  using State = KeyDecoder::State;
  if (d.state == State::paste || d.state == State::paste_escape || d.state == State::paste_csi) {
    if (++d.paste_bytes > max_paste_bytes) {
      // Too long for a paste: more likely a lost end marker. Start afresh with this byte.
      d.state = State::ground;
      d.params.clear();
      d.paste_bytes = 0;
    }
  }
  switch (d.state) {
    case State::ground:
      if (byte == 0x1B) {
        d.state = State::escape;
      } else if (int key = plain_key(byte)) {
        keys.push_back(key);
      }
      return;
    case State::escape:
      if (byte == '[') {
        d.state = State::csi;
        d.params.clear();
      } else if (byte == 'O') {
        d.state = State::ss3;
      } else if (byte == 'P' || byte == ']' || byte == '_' || byte == '^' || byte == 'X') {
        // Terminal replies (device control, OS command, application program strings)
        // run to a string terminator; none of their bytes are keys.
        d.state = State::string;
      } else if (byte == 0x1B) {
        keys.push_back(vk_escape);  // Esc pressed twice: the first one counts, the second waits
      } else {
        d.state = State::ground;  // Alt+key and the like: ignored whole
      }
      return;
    case State::csi:
      if (byte >= 0x20 && byte <= 0x3F) {
        if (d.params.size() < 64) d.params.push_back(byte);
      } else if (byte >= 0x40 && byte <= 0x7E) {
        finish_csi(d, byte, keys);
      } else {
        d.params.clear();  // not a valid sequence: drop it
        d.state = byte == 0x1B ? State::escape : State::ground;
      }
      return;
    case State::ss3:
      if (byte == 0x1B) {  // a new escape, not the final byte: Esc must never be lost
        d.state = State::escape;
        return;
      }
      d.state = State::ground;
      if (int key = cursor_key(byte)) keys.push_back(key);
      return;
    case State::string:
      if (byte == 0x07) d.state = State::ground;  // BEL ends an OS command string too
      else if (byte == 0x1B) d.state = State::string_escape;
      return;
    case State::string_escape:
      d.state = byte == '\\' ? State::ground : State::string;
      return;
    case State::paste:
      if (byte == 0x1B) d.state = State::paste_escape;
      return;
    case State::paste_escape:
      if (byte == '[') {
        d.state = State::paste_csi;
        d.params.clear();
      } else if (byte != 0x1B) {
        d.state = State::paste;
      }
      return;
    case State::paste_csi:
      if (byte >= 0x20 && byte <= 0x3F) {
        if (d.params.size() < 64) d.params.push_back(byte);
        return;
      }
      if (byte == '~' && std::string(d.params.begin(), d.params.end()) == "201") {
        d.state = State::ground;
      } else {
        d.state = State::paste;
      }
      d.params.clear();
      return;
  }
}
