// SampleRing: raw dongle blocks from the tuner thread (the only writer) to the DSP
// thread (the only reader). No lock and no full/empty flags: each side owns one index.
// The writer never waits; a reader that falls 100 or more blocks behind is lapped.
// Each slot carries a sequence number so the reader can tell a block it read whole
// from one the writer was overwriting meanwhile, and drop the latter.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

inline constexpr int ring_slots = 100;
inline constexpr int ring_slot_bytes = 65536;
inline constexpr int ring_slot_pairs = ring_slot_bytes / 2;
inline constexpr int ring_slot_words = ring_slot_bytes / 8;

struct SampleRing {
  // The bytes of each slot, eight to a word in memory order (I byte first, then Q).
  // Words rather than bytes so that the reader may race the writer without a data race.
  std::atomic<uint64_t> ring_data[ring_slots][ring_slot_words];
  std::atomic<int32_t> ring_bytes[ring_slots];  // valid bytes per slot: 65,536 but after a short read
  // Per slot: 2n+1 while store number n (counted from 0) fills it, 2n+2 once it is whole.
  std::atomic<uint64_t> ring_seq[ring_slots];
  std::atomic<int32_t> ring_write;   // slot the writer fills next; tuner thread only
  std::atomic<int32_t> ring_read;    // slot the reader consumes next; DSP thread only
  std::atomic<uint64_t> ring_stores; // blocks stored so far; written by the tuner thread only
  // The reader sleeps until ring_stores reaches this, and the writer wakes it then; a
  // reader that asks for several stores at once wakes once for all of them.
  std::atomic<uint64_t> ring_wake_at;
};

// Both indices advance alike: 99 wraps to 0, anything else grows by 1.
inline int32_t ring_next(int32_t index) { return index > ring_slots - 2 ? 0 : index + 1; }

// Writer side, tuner thread, once per read: copies the block's `bytes` (65,536 for a
// whole read, fewer for a short one) into slot ring_write, sets its count, then
// publishes the advanced ring_write with a release store. Never waits and never looks
// at ring_read.
void ring_store(SampleRing& ring, const uint8_t* block, int32_t bytes = ring_slot_bytes);

// Writer side, after ring_store: true when the stores made so far reach the reader's
// wake-up.
bool ring_wake_due(const SampleRing& ring);

// Reader side: asks to be woken once `stores` stores have been made in all. True when
// they already have, so there is nothing to wait for.
bool ring_request_wake(SampleRing& ring, uint64_t stores);

// What the reader got from one slot.
struct RingTake {
  int32_t pairs;   // complex samples converted (0 for a count of 0 or less)
  uint64_t store;  // number of the store the slot held (counted from 0)
  bool torn;       // the writer touched the slot during the read: drop it whole
};

// Reader side: copies the bytes of slot `slot` into `bytes` (room for ring_slot_bytes).
// The caller has seen the slot published by loading ring_write with acquire. Nothing in
// `bytes` may be used when the result is torn.
inline RingTake ring_take_bytes(const SampleRing& ring, int32_t slot, uint8_t* bytes) {
  const uint64_t before = ring.ring_seq[slot].load(std::memory_order_acquire);
  int32_t count = ring.ring_bytes[slot].load(std::memory_order_relaxed);
  if (count < 0) count = 0;
  if (count > ring_slot_bytes) count = ring_slot_bytes;
  // A pair is taken while its first byte lies below the count.
  const int32_t pairs = (count + 1) / 2;
  const int32_t words = (pairs * 2 + 7) / 8;
  const std::atomic<uint64_t>* data = ring.ring_data[slot];
  for (int32_t w = 0; w < words; ++w) {
    // Acquire keeps the sequence re-check below after every word read.
    const uint64_t word = data[w].load(std::memory_order_acquire);
    std::memcpy(bytes + 8 * w, &word, sizeof word);
  }
  const uint64_t after = ring.ring_seq[slot].load(std::memory_order_relaxed);
  RingTake take;
  take.pairs = pairs;
  take.torn = (before & 1u) != 0 || after != before;
  // A slot caught mid-store still held the block of the store 100 before it.
  take.store = (before & 1u) ? (before - 1u) / 2u - static_cast<uint64_t>(ring_slots) : before / 2u - 1u;
  return take;
}
