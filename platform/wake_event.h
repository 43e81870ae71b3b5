// A wake-up call from one thread to another that waits for it with a time limit: the
// tuner thread's store ends the DSP thread's wait for samples. Setting never blocks, so
// the writer of the sample ring stays free of waits. Sets that come while nobody waits
// are remembered as one, like an auto-reset event.
#pragma once

#include <atomic>
#include <cstdint>

struct WakeEvent {
  std::atomic<uint32_t> state{0};  // 0 clear, 1 set, 2 clear with the waiter asleep
};

// Sets the event and wakes its waiter, if one sleeps.
void wake_event_set(WakeEvent& event);

// Waits until the event is set, at most timeout_ms (0: just a look), and clears it.
// True when it was set; false when the time ran out or the wait was interrupted. One
// thread waits at a time.
bool wake_event_wait(WakeEvent& event, int timeout_ms);
