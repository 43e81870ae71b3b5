#include "platform/key_input.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include "platform/key_decoder.h"

void key_input_loop(int fd, KeyHandler handler, void* context) {
  KeyDecoder decoder;
  std::vector<int> keys;
  uint8_t bytes[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, key_decoder_waiting(decoder) ? lone_escape_ms : -1);
    if (ready < 0 && errno == EINTR) continue;
    keys.clear();
    if (ready == 0) {
      key_decoder_timeout(decoder, keys);
    } else {
      ssize_t n = ::read(fd, bytes, sizeof bytes);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        key_decoder_timeout(decoder, keys);  // an ESC right before the end still counts
        for (int key : keys) {
          if (!handler(context, key)) return;
        }
        for (;;) ::pause();  // unattended: only a control event ends the process now
      }
      for (ssize_t i = 0; i < n; ++i) key_decoder_feed(decoder, bytes[i], keys);
    }
    for (int key : keys) {
      if (!handler(context, key)) return;
    }
  }
}
