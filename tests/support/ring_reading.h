// Test-side reading of the sample ring: one slot taken and converted through a byte table,
// the way the DSP thread's chain sees it, for tests that check the ring alone.
#pragma once

#include <cstdint>

#include "sample_ring/sample_ring.h"

// Reader side with the conversion: each byte of the slot through `table` (one float per
// byte value) into `iq`, two floats per pair (I, then Q), room for ring_slot_bytes floats.
inline RingTake ring_take(const SampleRing& ring, int32_t slot, const float* table, float* iq) {
  uint8_t bytes[ring_slot_bytes];
  const RingTake take = ring_take_bytes(ring, slot, bytes);
  for (int32_t k = 0; k < 2 * take.pairs; ++k) iq[k] = table[bytes[k]];
  return take;
}
