// How strong one tone is in a stream of I/Q pairs: a direct DFT at one frequency.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

// Amplitude of the complex exponential at `frequency` Hz in `pairs` interleaved I/Q
// values (I first) sampled at `rate`, measured from `zero`.
template <typename Sample>
double tone_amplitude(const Sample* iq, size_t pairs, double frequency, double rate, double zero = 0.0) {
  std::complex<double> sum = 0;
  for (size_t k = 0; k < pairs; ++k) {
    const std::complex<double> sample(iq[2 * k] - zero, iq[2 * k + 1] - zero);
    sum += sample * std::polar(1.0, -2 * std::numbers::pi * frequency * static_cast<double>(k) / rate);
  }
  return std::abs(sum) / static_cast<double>(pairs);
}

// The dongle's unsigned bytes, whose zero lies at 127.5; amplitude in byte steps.
inline double tone_amplitude(const std::vector<uint8_t>& bytes, double frequency, double rate) {
  return tone_amplitude(bytes.data(), bytes.size() / 2, frequency, rate, 127.5);
}

// 16-bit stereo PCM frames (I left, Q right).
inline double tone_amplitude(const std::vector<int16_t>& frames, double frequency, double rate) {
  return tone_amplitude(frames.data(), frames.size() / 2, frequency, rate);
}
