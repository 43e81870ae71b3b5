#include <windows.h>

#include "platform/wake_word.h"

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void wake_word_sleep(std::atomic<uint32_t>& word, uint32_t expected, int timeout_ms) {
  WaitOnAddress(reinterpret_cast<void*>(&word), &expected, sizeof expected,
                static_cast<DWORD>(timeout_ms));
}

void wake_word_wake_one(std::atomic<uint32_t>& word) {
  WakeByAddressSingle(reinterpret_cast<void*>(&word));
}
