#include "platform/wake_event.h"

#include "platform/wake_word.h"

namespace {

constexpr uint32_t clear = 0;
constexpr uint32_t set = 1;
constexpr uint32_t sleeping = 2;

}  // namespace

void wake_event_set(WakeEvent& event) {
  // Only a waiter that announced its sleep needs the system call.
  if (event.state.exchange(set, std::memory_order_release) == sleeping) {
    wake_word_wake_one(event.state);
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
  // The sleep lasts only while the word still reads "sleeping", so a set that comes
  // before the sleep begins is never missed.
  wake_word_sleep(event.state, sleeping, timeout_ms);
  return event.state.exchange(clear, std::memory_order_acquire) == set;
}
