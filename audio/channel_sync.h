// What the channel operations and the workers share beyond the record: the state
// handshake and the lock around changes of `queued`.
#pragma once

#include <chrono>
#include <mutex>

#include "audio/audio_channel.h"

// Sets a worker's state field and wakes whoever polls it. The store is made under the
// table's mutex so that audio_close, which tests the state under the same mutex, cannot
// free the record (or the test its table) while this is still running.
inline void audio_set_state(AudioSlots& slots, std::atomic<int32_t>& state, int32_t value) {
  std::lock_guard<std::mutex> lock(slots.state_mutex);
  state.store(value);
  slots.state_changed.notify_all();
}

// Tests `done` every 100 ms until it holds; a state change or a finished write ends the
// current wait early.
template <class Done>
void audio_poll(AudioSlots& slots, Done done) {
  std::unique_lock<std::mutex> lock(slots.state_mutex);
  while (!done()) {
    slots.state_changed.wait_for(lock, std::chrono::milliseconds(audio_state_poll_ms));
  }
}

// Holds the channel's semaphore around one change of `queued`. The count is an atomic
// and is changed with atomic operations, so it stays right even when the wait runs out.
// A wait that runs out means a holder never gave the count back (a named semaphore
// outlives a process that died holding it): the count is then given back on its behalf,
// so that the next block does not wait a full second again, and this change goes ahead
// without the lock.
class QueuedLock {
 public:
  QueuedLock(NamedSemaphore* semaphore, int wait_ms) : semaphore_(semaphore) {
    if (!semaphore_) return;
    taken_ = named_semaphore_wait(semaphore_, wait_ms) == 1;
    if (!taken_) named_semaphore_repair(semaphore_);
  }
  ~QueuedLock() {
    if (taken_) named_semaphore_release(semaphore_);
  }
  QueuedLock(const QueuedLock&) = delete;
  QueuedLock& operator=(const QueuedLock&) = delete;

 private:
  NamedSemaphore* semaphore_;
  bool taken_ = false;
};
