#include "platform/wake_word.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The futex word is the atomic's own storage: a lock-free 32-bit atomic holds exactly
// its value.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

uint32_t* futex_word(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

}  // namespace

void wake_word_sleep(std::atomic<uint32_t>& word, uint32_t expected, int timeout_ms) {
  timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  // The kernel sleeps only while the word still holds expected; the limit is relative,
  // on the monotonic clock.
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, &limit, nullptr, 0);
}

void wake_word_wake_one(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
