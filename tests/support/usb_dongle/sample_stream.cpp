#include "sample_stream.h"

#include <cmath>
#include <numbers>

SampleStream::Clock::time_point SampleStream::due(size_t bytes, double rate, unsigned long epoch) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  if (rate <= 0) rate = 2048000;
  const auto at = [&](double samples) {
    return origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(samples / rate_));
  };
  const bool behind = rate_ > 0 && now - at(samples_) > std::chrono::milliseconds(500);
  if (rate != rate_ || epoch != epoch_ || behind) {
    origin_ = now;
    samples_ = 0;
    rate_ = rate;
    epoch_ = epoch;
  }
  samples_ += static_cast<double>(bytes / 2);
  return at(samples_);
}

void SampleStream::fill(uint8_t* data, size_t length, const StreamSettings& s, double carrier_hz) {
  std::lock_guard lock(mutex_);
  const double rate = s.rate_hz > 0 ? s.rate_hz : 2048000;
  const double offset = carrier_hz - s.tuned_rf_hz;
  // The carrier only gets through inside the band the filters pass.
  const bool tone = s.tone && std::abs(offset) < 0.45 * rate;
  const double amplitude = tone ? s.amplitude * 127.5 : 0.0;
  const std::complex<double> step = std::polar(1.0, 2 * std::numbers::pi * offset / rate);
  auto uniform = [this] {  // xorshift64*, in [0, 1)
    noise_ ^= noise_ >> 12;
    noise_ ^= noise_ << 25;
    noise_ ^= noise_ >> 27;
    return static_cast<double>((noise_ * 0x2545f4914f6cdd1dull) >> 11) / 9007199254740992.0;
  };
  auto to_byte = [&](double v) {
    // Half a step of noise either side, and dither that keeps the mean at v.
    const double x = std::floor(127.5 + v + (uniform() - 0.5) + uniform());
    return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x);
  };
  for (size_t i = 0; i + 1 < length; i += 2) {
    data[i] = to_byte(amplitude * phasor_.real());
    data[i + 1] = to_byte(amplitude * phasor_.imag());
    phasor_ *= step;
  }
  phasor_ /= std::abs(phasor_);
}
