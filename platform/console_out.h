// The terminal's output stream, shared by every thread. Messages and the display's
// picture are written through here so that one never lands inside the other.
#pragma once

#include <cstddef>
#include <mutex>
#include <string_view>

struct ConsoleOut {
  std::mutex lock;  // held for one whole write, so writes never interleave
  int fd = 1;       // standard output unless a test points it elsewhere
};

extern ConsoleOut console_out;

// Writes all of text (retrying short writes and EINTR); returns the bytes written.
size_t console_write(std::string_view text);
