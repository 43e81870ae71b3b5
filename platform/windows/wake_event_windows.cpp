// The wake-up call on Windows: the same three states as on Linux, with the system's wait
// on an address in place of the futex.
#include <windows.h>

#include "platform/wake_event.h"

namespace {

constexpr uint32_t clear = 0;
constexpr uint32_t set = 1;
constexpr uint32_t sleeping = 2;

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void* wait_word(WakeEvent& event) { return reinterpret_cast<void*>(&event.state); }

}  // namespace

void wake_event_set(WakeEvent& event) {
  if (event.state.exchange(set, std::memory_order_release) == sleeping) {
    WakeByAddressSingle(wait_word(event));
  }
}

bool wake_event_wait(WakeEvent& event, int timeout_ms) {
  uint32_t seen = event.state.exchange(clear, std::memory_order_acquire);
  if (seen == set) return true;
  if (timeout_ms <= 0) return false;
  uint32_t expected = clear;
  if (!event.state.compare_exchange_strong(expected, sleeping, std::memory_order_acquire)) {
    return event.state.exchange(clear, std::memory_order_acquire) == set;
  }
  // Sleeps only while the word still reads "sleeping", so an earlier set is never missed.
  uint32_t compare = sleeping;
  WaitOnAddress(wait_word(event), &compare, sizeof compare, static_cast<DWORD>(timeout_ms));
  return event.state.exchange(clear, std::memory_order_acquire) == set;
}
