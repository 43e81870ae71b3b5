// Captures what print_console and console_write send to the terminal, for tests.
#pragma once

#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/console_out.h"

class ConsoleCapture {
 public:
  ConsoleCapture() : fd_(memfd_create("console", 0)), saved_(console_out.fd) { console_out.fd = fd_; }
  ~ConsoleCapture() {
    console_out.fd = saved_;
    close(fd_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string text() const {
    std::string all;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
      all.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    return all;
  }

 private:
  int fd_;
  int saved_;
};
