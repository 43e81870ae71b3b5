// The terminal's output stream, shared by every thread. Messages and the display's
// picture are written through here so that one never lands inside the other.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string_view>

struct ConsoleOut {
  std::mutex lock;  // held for one whole write, so writes never interleave
  int fd = 1;       // standard output unless a test points it elsewhere
  // Set by the last write: the farewell line stays the last line, whatever a thread
  // still running at exit has to say.
  std::atomic<bool> ended{false};
};

extern ConsoleOut console_out;

// Writes all of text (retrying short writes and EINTR); returns the bytes written.
// Nothing is written once a write marked last has been made.
size_t console_write(std::string_view text, bool last = false);
