#include "display/display_thread.h"

#include <chrono>
#include <thread>

#include "control/rx_state.h"

void display_start(RxState& state, DisplayState& display) {
  while (display.thread_alive.load(std::memory_order_acquire)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  display.thread_alive.store(true, std::memory_order_release);
  std::thread([&state, &display] { display_thread(state, display); }).detach();
}

int display_thread(RxState& state, DisplayState& display) {
  while (state.display_run.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  display.thread_alive.store(false, std::memory_order_release);
  return 0;
}
