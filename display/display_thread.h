// The spectrum display's thread.
#pragma once

#include <atomic>

struct RxState;

struct DisplayState {
  std::atomic<bool> thread_alive{false};  // a display thread runs and may still draw
};

// Starts display_thread, first waiting for a previous one to end, so only one thread
// ever draws.
void display_start(RxState& state, DisplayState& display);

// Runs while display_run is set.
int display_thread(RxState& state, DisplayState& display);
