#include "platform/console_out.h"

#include <cerrno>
#include <unistd.h>

ConsoleOut console_out;

size_t console_write(std::string_view text) {
  std::lock_guard<std::mutex> guard(console_out.lock);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(console_out.fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // a closed or broken output loses the message, never the receiver
    }
    done += static_cast<size_t>(n);
  }
  return done;
}
