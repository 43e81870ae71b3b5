#include "platform/wake_event.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint32_t clear = 0;
constexpr uint32_t set = 1;
constexpr uint32_t sleeping = 2;

// The futex word is the atomic's own storage: a lock-free 32-bit atomic holds exactly
// its value.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

uint32_t* futex_word(WakeEvent& event) { return reinterpret_cast<uint32_t*>(&event.state); }

}  // namespace

void wake_event_set(WakeEvent& event) {
  // Only a waiter that announced its sleep needs the system call.
  if (event.state.exchange(set, std::memory_order_release) == sleeping) {
    syscall(SYS_futex, futex_word(event), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

bool wake_event_wait(WakeEvent& event, int timeout_ms) {
  uint32_t seen = event.state.exchange(clear, std::memory_order_acquire);
  if (seen == set) return true;
  if (timeout_ms <= 0) return false;
  uint32_t expected = clear;
  // A set that lands between the exchange above and this one is taken here.
  if (!event.state.compare_exchange_strong(expected, sleeping, std::memory_order_acquire)) {
    return event.state.exchange(clear, std::memory_order_acquire) == set;
  }
  timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  // The kernel sleeps only while the word still reads "sleeping", so a set that comes
  // before the sleep begins is never missed. The limit is relative, on the monotonic clock.
  syscall(SYS_futex, futex_word(event), FUTEX_WAIT_PRIVATE, sleeping, &limit, nullptr, 0);
  return event.state.exchange(clear, std::memory_order_acquire) == set;
}
