#include "dsp/fft_snapshot.h"

namespace {
constexpr int copy_attempts = 8;
}

void spectrum_publish(SpectrumBuffer& buffer, const float* re, const float* im) {
  // Release stores of the values keep the odd sequence ahead of every one of them, so a
  // reader that sees any new value also sees the sequence move. (No standalone fences:
  // ThreadSanitizer cannot follow them.)
  const uint32_t start = buffer.sequence.load(std::memory_order_relaxed) + 1u;
  buffer.sequence.store(start, std::memory_order_relaxed);
  for (int i = 0; i < spectrum_size; ++i) {
    buffer.spectrum_re[i].store(re[i], std::memory_order_release);
    buffer.spectrum_im[i].store(im[i], std::memory_order_release);
  }
  buffer.sequence.store(start + 1u, std::memory_order_release);
  buffer.spectrum_ready.store(1, std::memory_order_release);
}

bool spectrum_copy(const SpectrumBuffer& buffer, float* re, float* im) {
  for (int attempt = 0; attempt < copy_attempts; ++attempt) {
    const uint32_t before = buffer.sequence.load(std::memory_order_acquire);
    if (before & 1u) continue;
    for (int i = 0; i < spectrum_size; ++i) {
      re[i] = buffer.spectrum_re[i].load(std::memory_order_acquire);
      im[i] = buffer.spectrum_im[i].load(std::memory_order_acquire);
    }
    if (buffer.sequence.load(std::memory_order_relaxed) == before) return true;
  }
  return false;
}
