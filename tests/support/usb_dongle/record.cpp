#include "record.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "settings.h"

void record_line(const char* format, ...) {
  const Settings& s = settings();
  if (s.record_path.empty()) return;
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  const int fd = ::open(s.record_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const ssize_t written = ::write(fd, line, static_cast<size_t>(n));
  (void)written;
  ::close(fd);
}
