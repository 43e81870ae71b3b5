// The simulated dongle's stream less its scene table: zero everywhere but in the packet
// beacon's bursts, which are added to the bytes the table gives.
#pragma once

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

#include "simulator/sim_dongle.h"

// Reads `samples` I/Q pairs and returns, per byte, the read's value less the table's at
// the same place. The read must be long enough to come from the table (an eighth of it
// or more); where nothing clips, the result is exactly the beacon's steps.
inline std::vector<int> read_beyond_table(SimDongle& sim, Dongle* dev, int samples) {
  std::vector<uint8_t> bytes(static_cast<size_t>(samples) * 2);
  int n = 0;
  EXPECT_EQ(sim.read_sync(dev, bytes.data(), static_cast<int>(bytes.size()), &n), 0);
  const size_t size = sim.scene.size();
  size_t at = (sim.scene_position + size - bytes.size() % size) % size;
  std::vector<int> steps(bytes.size());
  for (size_t k = 0; k < bytes.size(); ++k, at = (at + 1) % size) steps[k] = bytes[k] - sim.scene[at];
  return steps;
}

// The steps as complex samples, I first.
inline std::vector<std::complex<double>> as_iq(const std::vector<int>& steps) {
  std::vector<std::complex<double>> iq(steps.size() / 2);
  for (size_t k = 0; k < iq.size(); ++k) iq[k] = {double(steps[2 * k]), double(steps[2 * k + 1])};
  return iq;
}

// The frequency in Hz of complex samples taken at `rate`, from the phase they turn through
// in each run of `lag` samples (less than half a turn): one value per run, 0 where they
// are silent.
inline std::vector<double> run_frequencies(const std::vector<std::complex<double>>& iq, double rate, size_t lag) {
  std::vector<double> hz;
  for (size_t k = 0; k + lag < iq.size(); k += lag) {
    hz.push_back(std::arg(iq[k + lag] * std::conj(iq[k])) * rate / (2 * std::numbers::pi * double(lag)));
  }
  return hz;
}
