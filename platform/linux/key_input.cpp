#include "platform/key_input.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

KeyboardRead keyboard_read(int fd, uint8_t* bytes, int capacity, int timeout_ms) {
  KeyboardRead read;
  pollfd p{fd, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeout_ms);
  if (ready < 0 && errno == EINTR) return read;
  if (ready == 0) {
    read.kind = KeyboardRead::Kind::timed_out;
    return read;
  }
  const ssize_t n = ::read(fd, bytes, static_cast<size_t>(capacity));
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return read;
  if (n <= 0) {
    read.kind = KeyboardRead::Kind::ended;
    return read;
  }
  read.kind = KeyboardRead::Kind::bytes;
  read.count = static_cast<int>(n);
  return read;
}
