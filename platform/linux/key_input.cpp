#include "platform/key_input.h"

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/key_decoder.h"

void key_input_loop(int fd, KeyHandler handler, KeyIdle idle, void* context) {
  KeyDecoder decoder;
  std::vector<int> keys;
  uint8_t bytes[256];
  for (;;) {
    idle(context);
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, key_decoder_waiting(decoder) ? lone_escape_ms : key_idle_ms);
    if (ready < 0 && errno == EINTR) continue;
    keys.clear();
    if (ready == 0) {
      if (!key_decoder_waiting(decoder)) continue;
      key_decoder_timeout(decoder, keys);
    } else {
      ssize_t n = ::read(fd, bytes, sizeof bytes);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        key_decoder_timeout(decoder, keys);  // an ESC right before the end still counts
        for (int key : keys) {
          if (!handler(context, key)) return;
        }
        // Unattended: only a control event ends the process now.
        for (;;) {
          idle(context);
          std::this_thread::sleep_for(std::chrono::milliseconds(key_idle_ms));
        }
      }
      for (ssize_t i = 0; i < n; ++i) key_decoder_feed(decoder, bytes[i], keys);
    }
    for (int key : keys) {
      if (!handler(context, key)) return;
    }
  }
}
