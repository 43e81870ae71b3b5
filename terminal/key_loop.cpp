#include "terminal/key_loop.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/key_input.h"
#include "terminal/key_decoder.h"

namespace {

// Hands keys to handler in order; false once it asked to stop.
bool deliver(const std::vector<int>& keys, KeyHandler handler, void* context) {
  for (int key : keys) {
    if (!handler(context, key)) return false;
  }
  return true;
}

}  // namespace

void key_input_loop(int fd, KeyHandler handler, KeyIdle idle, void* context) {
  KeyDecoder decoder;
  std::vector<int> keys;
  uint8_t bytes[256];
  for (;;) {
    idle(context);
    keys.clear();
    const int wait_ms = key_decoder_waiting(decoder) ? lone_escape_ms : key_idle_ms;
    const KeyboardRead read = keyboard_read(fd, bytes, sizeof bytes, wait_ms);
    switch (read.kind) {
      case KeyboardRead::Kind::bytes:
        for (int i = 0; i < read.count; ++i) key_decoder_feed(decoder, bytes[i], keys);
        break;
      case KeyboardRead::Kind::key:
        keys.push_back(read.key);
        break;
      case KeyboardRead::Kind::timed_out:
        if (key_decoder_waiting(decoder)) key_decoder_timeout(decoder, keys);
        break;
      case KeyboardRead::Kind::again:
        break;
      case KeyboardRead::Kind::ended:
        key_decoder_timeout(decoder, keys);  // an ESC right before the end still counts
        if (!deliver(keys, handler, context)) return;
        // Unattended: only a control event ends the process now.
        for (;;) {
          idle(context);
          std::this_thread::sleep_for(std::chrono::milliseconds(key_idle_ms));
        }
    }
    if (!deliver(keys, handler, context)) return;
  }
}
