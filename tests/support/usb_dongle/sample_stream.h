// The dongle's samples: unsigned 8-bit I/Q around 127.5, a carrier where the tuning puts
// it plus a little noise, handed out no faster than the sample rate.
#pragma once

#include <chrono>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "rtl2832.h"

class SampleStream {
 public:
  using Clock = std::chrono::steady_clock;

  // When `bytes` more bytes will have been sampled at `rate`: the stream's clock runs
  // from its first read, and starts again after a FIFO reset (`epoch` changes) or when
  // the reader has fallen far behind (a real dongle drops what nobody reads).
  Clock::time_point due(size_t bytes, double rate, unsigned long epoch);
  // Fills data with the samples of settings s.
  void fill(uint8_t* data, size_t length, const StreamSettings& s, double carrier_hz);

 private:
  std::mutex mutex_;
  Clock::time_point origin_{};
  double samples_ = 0;  // handed out since origin_
  double rate_ = 0;
  unsigned long epoch_ = ~0ul;
  std::complex<double> phasor_{1, 0};
  uint64_t noise_ = 0x9e3779b97f4a7c15ull;
};
