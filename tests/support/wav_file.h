// Audio for the programs that judge it: samples in [-1, 1] as 16-bit little-endian PCM,
// bare or in a mono WAV file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// Each sample scaled to full scale and rounded, beyond it clipped.
inline std::vector<uint8_t> pcm16_bytes(const std::vector<float>& samples) {
  std::vector<uint8_t> bytes;
  bytes.reserve(samples.size() * 2);
  for (float s : samples) {
    const auto value = static_cast<int16_t>(std::lround(std::clamp(s * 32767.0, -32768.0, 32767.0)));
    const auto bits = static_cast<uint16_t>(value);
    bytes.push_back(static_cast<uint8_t>(bits & 0xFF));
    bytes.push_back(static_cast<uint8_t>(bits >> 8));
  }
  return bytes;
}

inline void write_wav(const std::string& path, const std::vector<float>& samples, uint32_t sample_rate) {
  const std::vector<uint8_t> data = pcm16_bytes(samples);
  std::vector<uint8_t> file;
  // Byte by byte: a range insert of four bytes trips a false overflow warning of GCC's
  // under the thread sanitizer.
  auto text = [&](const char* four) {
    for (int k = 0; k < 4; ++k) file.push_back(static_cast<uint8_t>(four[k]));
  };
  auto number = [&](uint32_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) file.push_back(static_cast<uint8_t>(value >> (8 * k)));
  };
  const auto data_size = static_cast<uint32_t>(data.size());
  text("RIFF");
  number(36 + data_size, 4);
  text("WAVE");
  text("fmt ");
  number(16, 4);               // the format chunk's size
  number(1, 2);                // PCM
  number(1, 2);                // one channel
  number(sample_rate, 4);
  number(sample_rate * 2, 4);  // bytes per second
  number(2, 2);                // bytes per frame
  number(16, 2);               // bits per sample
  text("data");
  number(data_size, 4);
  file.insert(file.end(), data.begin(), data.end());
  write_bytes(path, file);
}
