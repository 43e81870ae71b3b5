#include "sample_ring/sample_ring.h"

void ring_store(SampleRing& ring, const uint8_t* block, int32_t bytes) {
  bytes = bytes < 0 ? 0 : (bytes > ring_slot_bytes ? ring_slot_bytes : bytes);
  const int32_t slot = ring.ring_write.load(std::memory_order_relaxed);
  const uint64_t store = ring.ring_stores.load(std::memory_order_relaxed);
  std::atomic<uint64_t>& seq = ring.ring_seq[slot];
  // Odd sequence first; each word is then a release store, so a reader that sees any
  // new word (with an acquire load) also sees the slot marked busy and drops it.
  seq.store(2u * store + 1u, std::memory_order_relaxed);
  std::atomic<uint64_t>* data = ring.ring_data[slot];
  const int32_t whole_words = bytes / 8;
  for (int w = 0; w < whole_words; ++w) {
    uint64_t word;
    std::memcpy(&word, block + 8 * w, sizeof word);
    data[w].store(word, std::memory_order_release);
  }
  if (const int32_t tail = bytes % 8; tail != 0) {
    // Only the bytes read: the rest of the word is never handed on.
    uint64_t word = 0;
    std::memcpy(&word, block + 8 * whole_words, static_cast<size_t>(tail));
    data[whole_words].store(word, std::memory_order_release);
  }
  ring.ring_bytes[slot].store(bytes, std::memory_order_relaxed);
  seq.store(2u * store + 2u, std::memory_order_release);
  // Ordered with the reader's wake-up mark (ring_wake_due).
  ring.ring_stores.store(store + 1u, std::memory_order_seq_cst);
  ring.ring_write.store(ring_next(slot), std::memory_order_release);
}

// The two sides each write their own word, then read the other's, all in one total
// order (sequentially consistent), so at least one of them sees the other's write and a
// wake-up is never missed.
bool ring_wake_due(const SampleRing& ring) {
  return ring.ring_stores.load(std::memory_order_seq_cst) >=
         ring.ring_wake_at.load(std::memory_order_seq_cst);
}

bool ring_request_wake(SampleRing& ring, uint64_t stores) {
  ring.ring_wake_at.store(stores, std::memory_order_seq_cst);
  return ring.ring_stores.load(std::memory_order_seq_cst) >= stores;
}
