// The system's sleep on a 32-bit word: the one part of a wake-up call that each system
// does its own way (a futex on Linux, a wait on an address on Windows).
#pragma once

#include <atomic>
#include <cstdint>

// Sleeps while word still holds expected, for at most timeout_ms; may return early.
void wake_word_sleep(std::atomic<uint32_t>& word, uint32_t expected, int timeout_ms);

// Wakes one thread sleeping on word.
void wake_word_wake_one(std::atomic<uint32_t>& word);
