// SpectrumBuffer: the hand-over of finished spectra from the DSP thread to the display.
// The DSP thread never waits for the display: it publishes each finished transform
// under a sequence number, and the display copies it out and checks that the number
// did not move meanwhile, so what it draws is always one whole transform.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int spectrum_log2_size = 10;
inline constexpr int spectrum_size = 1 << spectrum_log2_size;

struct SpectrumBuffer {
  std::atomic<float> spectrum_re[spectrum_size] = {};
  std::atomic<float> spectrum_im[spectrum_size] = {};
  std::atomic<uint32_t> sequence{0};       // odd while a transform is being published
  std::atomic<int32_t> spectrum_ready{0};  // 1: a spectrum not yet drawn; the display clears it
};

// DSP thread: publishes one finished transform and sets spectrum_ready.
void spectrum_publish(SpectrumBuffer& buffer, const float* re, const float* im);

// Display: copies the latest finished transform into re and im. Returns false only if
// the DSP thread kept publishing throughout every attempt (then nothing whole was seen).
bool spectrum_copy(const SpectrumBuffer& buffer, float* re, float* im);
