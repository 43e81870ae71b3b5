#include "platform/console_out.h"

#include <cerrno>
#include <unistd.h>

ConsoleOut console_out;

size_t console_write(std::string_view text, bool last) {
  std::lock_guard<std::mutex> guard(console_out.lock);
  // Under the lock, so that no write can follow the last one.
  if (console_out.ended.load(std::memory_order_relaxed)) return 0;
  if (last) console_out.ended.store(true, std::memory_order_relaxed);
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
