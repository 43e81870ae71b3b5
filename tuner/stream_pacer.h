// Delivers a stream of samples no faster than a dongle would: each read waits until its
// last sample would have arrived. The simulated dongle and a replayed recording share it.
#pragma once

#include <chrono>
#include <cstdint>

struct StreamPacer {
  std::chrono::steady_clock::time_point start{};
  int64_t bytes = 0;
  bool started = false;

  // Starts the clock afresh at the next read (a new rate, a reset buffer).
  void restart() { started = false; }

  // Waits until `length` more bytes of I/Q at `rate` pairs per second are due. A reader
  // that fell more than a second behind (stopped, swapped out) starts the clock afresh
  // instead of being fed in a rush.
  void wait_for(int length, double rate);
};
