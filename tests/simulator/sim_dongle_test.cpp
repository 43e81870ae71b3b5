#include "simulator/sim_dongle.h"

#include <gtest/gtest.h>

#include <utility>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <numbers>
#include <optional>
#include <vector>

#include "tests/support/scene_steps.h"
#include "tests/support/tone.h"

namespace {

constexpr uint32_t rate12 = 1200000;
constexpr uint32_t default_tuning = 145725000;


// An unpaced simulator set up as the receiver sets it up: highest gain, tuned, and
// corrected unless the correction is to come later.
struct Configured {
  SimDongle sim{sim_dongle_choice(), false};
  Dongle* dev = nullptr;

  explicit Configured(uint32_t frequency = default_tuning, std::optional<int> ppm = 48) {
    EXPECT_EQ(sim.open(&dev, 0), 0);
    sim.set_tuner_gain_mode(dev, 1);
    sim.set_tuner_gain(dev, 496);
    sim.set_center_freq(dev, frequency);
    sim.set_sample_rate(dev, rate12);
    if (ppm) sim.set_freq_correction(dev, *ppm);
  }

  std::vector<uint8_t> read(int samples) {
    std::vector<uint8_t> bytes(static_cast<size_t>(samples) * 2);
    int n = 0;
    EXPECT_EQ(sim.read_sync(dev, bytes.data(), static_cast<int>(bytes.size()), &n), 0);
    EXPECT_EQ(n, static_cast<int>(bytes.size()));
    return bytes;
  }
};

double amplitude_at(const std::vector<uint8_t>& bytes, double frequency, double rate = rate12) {
  return tone_amplitude(bytes, frequency, rate);
}

constexpr int window = 24000;  // 50 Hz resolution at 1.2 MHz: 150 Hz is three bins

}  // namespace

TEST(SimDongle, PresentsOneDeviceAndItsSettings) {
  SimDongle sim(sim_dongle_choice(), false);
  EXPECT_EQ(sim.get_device_count(), 1u);
  EXPECT_STREQ(sim.get_device_name(0), "Simulated RTL2832U");
  EXPECT_STREQ(sim.get_device_name(1), "");
  char m[usb_string_size], p[usb_string_size], s[usb_string_size];
  ASSERT_EQ(sim.get_device_usb_strings(0, m, p, s), 0);
  EXPECT_STREQ(m, "rxiq");
  EXPECT_STREQ(p, "Simulated RTL2832U");
  EXPECT_STREQ(s, "00000001");

  Dongle* dev = nullptr;
  EXPECT_LT(sim.open(&dev, 1), 0);
  EXPECT_EQ(dev, nullptr);
  ASSERT_EQ(sim.open(&dev, 0), 0);
  ASSERT_NE(dev, nullptr);
  EXPECT_LT(sim.open(&dev, 0), 0) << "one device, already open";

  int gains[40] = {};
  ASSERT_EQ(sim.get_tuner_gains(dev, nullptr), 29);
  ASSERT_EQ(sim.get_tuner_gains(dev, gains), 29);
  EXPECT_EQ(gains[0], 0);
  EXPECT_EQ(gains[28], 496);
  EXPECT_EQ(gains[29], 0) << "nothing written past the list";

  // As librtlsdr over an R820T: the read-back is the gain asked for; the tuner takes the
  // first of its steps that reaches it (stopping at 48.8 dB, past the last step), and
  // choosing a manual mode puts it at 0 dB.
  for (auto [asked, applied] : {std::pair{12000000, 488}, {496, 496}, {300, 328}, {297, 297}, {-50, 0}}) {
    sim.set_tuner_gain(dev, asked);
    EXPECT_EQ(sim.get_tuner_gain(dev), asked);
    EXPECT_EQ(sim.tuner_gain, applied) << asked;
  }
  sim.set_tuner_gain_mode(dev, 1);
  EXPECT_EQ(sim.tuner_gain, 0);
  EXPECT_EQ(sim.get_tuner_gain(dev), -50) << "the read-back stays what was asked";
  EXPECT_EQ(sim.get_offset_tuning(dev), 0);

  // The PLL's reach: below it the driver says the PLL is not locked and succeeds; above
  // it the call fails and the frequency is forgotten.
  EXPECT_EQ(sim.set_center_freq(dev, 24086500), 0);
  EXPECT_TRUE(sim.pll_locked);
  EXPECT_EQ(sim.set_center_freq(dev, 24086499), 0);
  EXPECT_FALSE(sim.pll_locked);
  EXPECT_EQ(sim.center_freq, 24086499u);
  EXPECT_EQ(sim.set_center_freq(dev, 0), 0);
  EXPECT_FALSE(sim.pll_locked);
  EXPECT_EQ(sim.set_center_freq(dev, 1766429499), 0);
  EXPECT_TRUE(sim.pll_locked);
  EXPECT_LT(sim.set_center_freq(dev, 1766429500), 0);
  EXPECT_EQ(sim.center_freq, 0u);

  for (uint32_t ok : {225001u, 300000u, 900001u, 1200000u, 2400000u, 3200000u}) {
    EXPECT_EQ(sim.set_sample_rate(dev, ok), 0) << ok;
  }
  for (uint32_t bad : {225000u, 300001u, 900000u, 3200001u, 0u}) {
    EXPECT_LT(sim.set_sample_rate(dev, bad), 0) << bad;
  }

  EXPECT_EQ(sim.set_freq_correction(dev, -17), 0);
  EXPECT_EQ(sim.get_freq_correction(dev), -17);
  EXPECT_EQ(sim.set_freq_correction(dev, -17), sim_same_correction_result);

  EXPECT_EQ(sim.close(dev), 0);
  EXPECT_LT(sim.close(dev), 0) << "a closed handle is refused";
  EXPECT_LT(sim.set_center_freq(dev, default_tuning), 0);
}

TEST(SimDongle, FailureModes) {
  SimDongle none(sim_dongle_choice(SimFailure::no_device), false);
  EXPECT_EQ(none.get_device_count(), 0u);
  EXPECT_STREQ(none.get_device_name(0), "");
  Dongle* dev = nullptr;
  EXPECT_LT(none.open(&dev, 0), 0);

  SimDongle no_open(sim_dongle_choice(SimFailure::fail_open), false);
  EXPECT_EQ(no_open.get_device_count(), 1u);
  EXPECT_LT(no_open.open(&dev, 0), 0);
  EXPECT_EQ(dev, nullptr);

  SimDongle no_freq(sim_dongle_choice(SimFailure::fail_freq), false);
  ASSERT_EQ(no_freq.open(&dev, 0), 0);
  EXPECT_LT(no_freq.set_center_freq(dev, default_tuning), 0);
  EXPECT_EQ(no_freq.set_sample_rate(dev, rate12), 0);

  SimDongle no_rate(sim_dongle_choice(SimFailure::fail_rate), false);
  ASSERT_EQ(no_rate.open(&dev, 0), 0);
  EXPECT_EQ(no_rate.set_center_freq(dev, default_tuning), 0);
  EXPECT_LT(no_rate.set_sample_rate(dev, rate12), 0);

  std::vector<uint8_t> block(4096, 7);
  int n = -1;
  SimDongle bad_reads(sim_dongle_choice(SimFailure::fail_read, 3), false);
  ASSERT_EQ(bad_reads.open(&dev, 0), 0);
  EXPECT_EQ(bad_reads.read_sync(dev, block.data(), 4096, &n), 0);
  EXPECT_EQ(bad_reads.read_sync(dev, block.data(), 4096, &n), 0);
  EXPECT_EQ(n, 4096);
  EXPECT_LT(bad_reads.read_sync(dev, block.data(), 4096, &n), 0);
  EXPECT_NE(bad_reads.read_sync(dev, block.data(), 4096, &n), dongle_gone_result)
      << "a failing read is not an unplug";
  EXPECT_EQ(n, 0);

  SimDongle unplugged(sim_dongle_choice(SimFailure::unplug, 2), false);
  ASSERT_EQ(unplugged.open(&dev, 0), 0);
  EXPECT_EQ(unplugged.read_sync(dev, block.data(), 4096, &n), 0);
  EXPECT_EQ(unplugged.read_sync(dev, block.data(), 4096, &n), dongle_gone_result);
  EXPECT_EQ(unplugged.read_sync(dev, block.data(), 4096, &n), dongle_gone_result);
  EXPECT_EQ(unplugged.reads, 3);
  EXPECT_EQ(unplugged.close(dev), 0) << "the handle of a gone dongle is still released";
}

TEST(SimDongle, CarrierSitsAtItsTrueOffsetAndMovesWithTuningAndCorrection) {
  Configured c;
  std::vector<uint8_t> bytes = c.read(window);

  // The 145,735,000 Hz carrier is 10 kHz above the default tuning, I leading Q: all of
  // it at +10 kHz and none at -10 kHz.
  EXPECT_NEAR(amplitude_at(bytes, 10000), sim_carrier_amplitude, 2.0);
  EXPECT_LT(amplitude_at(bytes, -10000), 1.0);
  EXPECT_NEAR(amplitude_at(bytes, -225000), sim_second_carrier_amplitude, 1.0);
  EXPECT_LT(amplitude_at(bytes, 5000), 1.0) << "noise stays well below the carriers";
  // FM with 3 kHz deviation by a 1 kHz tone: lines at 1 kHz spacing, weighted by the
  // Bessel functions of index 3.
  for (int line : {-2, -1, 0, 1, 2, 3}) {
    double expected = sim_fm_amplitude * std::fabs(std::cyl_bessel_j(std::abs(line), 3.0));
    EXPECT_NEAR(amplitude_at(bytes, 275000 + 1000 * line), expected, 1.0) << line;
  }

  // The zero point is 127.5: over many samples the bytes average to it.
  double sum = 0;
  for (size_t k = 0; k < bytes.size(); k += 2) sum += bytes[k];
  EXPECT_NEAR(sum / window, 127.5, 0.2);

  // Retuning 150 Hz up moves the carrier 150 Hz down.
  c.sim.set_center_freq(c.dev, default_tuning + 150);
  bytes = c.read(window);
  EXPECT_NEAR(amplitude_at(bytes, 9850), sim_carrier_amplitude, 2.0);
  EXPECT_LT(amplitude_at(bytes, 10000), 1.0);

  // Without the correction the 48 ppm crystal error shows: 145,725,150 x 48e-6 Hz lower.
  c.sim.set_freq_correction(c.dev, 0);
  bytes = c.read(window);
  double shifted = 9850 - (default_tuning + 150) * 48e-6;
  EXPECT_NEAR(amplitude_at(bytes, shifted), sim_carrier_amplitude, 2.0);
  EXPECT_LT(amplitude_at(bytes, 9850), 1.0);

  // A carrier beyond half the sample rate from the tuning is not seen.
  c.sim.set_freq_correction(c.dev, 48);
  c.sim.set_center_freq(c.dev, 146500000);
  bytes = c.read(window);
  EXPECT_LT(amplitude_at(bytes, -765000), 1.0);
  EXPECT_NEAR(amplitude_at(bytes, -500000 + 1000), sim_fm_amplitude * 0.3391, 1.0);
}

TEST(SimDongle, AmplitudesFollowTheGainAndTheTableLoopsWithoutASeam) {
  Configured c;
  // Reads that cross the end of the 0.2 s table must continue the carrier in phase.
  const int table_samples = rate12 / 5;
  c.read(table_samples - window / 2);
  std::vector<uint8_t> bytes = c.read(window);
  EXPECT_NEAR(amplitude_at(bytes, 10000), sim_carrier_amplitude, 2.0);

  auto carrier_after = [&](auto change) {
    change();
    return amplitude_at(c.read(window), 10000);
  };
  // Automatic tuner gain acts as 29.7 dB: 19.9 dB below the top gain.
  double automatic = carrier_after([&] { c.sim.set_tuner_gain_mode(c.dev, 0); });
  EXPECT_NEAR(automatic, sim_carrier_amplitude * std::pow(10.0, -19.9 / 20), 0.5);
  // The AGC adds 6 dB.
  double with_agc = carrier_after([&] { c.sim.set_agc_mode(c.dev, 1); });
  EXPECT_NEAR(with_agc / automatic, std::pow(10.0, 6.0 / 20), 0.05);
  // Manual gain modes 1 and 2 use the chosen gain again.
  double manual = carrier_after([&] {
    c.sim.set_agc_mode(c.dev, 0);
    c.sim.set_tuner_gain_mode(c.dev, 2);
    c.sim.set_tuner_gain(c.dev, 445);
  });
  EXPECT_NEAR(manual, sim_carrier_amplitude * std::pow(10.0, -5.1 / 20), 1.0);
  // At the top gain with the AGC on the strongest carrier clips, staying within 0..255.
  c.sim.set_tuner_gain(c.dev, 496);
  c.sim.set_agc_mode(c.dev, 1);
  bytes = c.read(window);
  int low = 255, high = 0;
  for (uint8_t b : bytes) {
    low = std::min<int>(low, b);
    high = std::max<int>(high, b);
  }
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 255);
}

TEST(SimDongle, StartUpBuildsTheTableOnceAndShortReadsMatchIt) {
  // The tuner thread's order: configure, reset, a short discarded read, then the
  // correction, then full blocks.
  Configured c(default_tuning, std::nullopt);
  SimDongle& sim = c.sim;
  sim.reset_buffer(c.dev);
  std::vector<uint8_t> discarded(4096), block(65536);
  int n = 0;
  ASSERT_EQ(sim.read_sync(c.dev, discarded.data(), static_cast<int>(discarded.size()), &n), 0);
  EXPECT_EQ(n, 4096);
  EXPECT_EQ(sim.scene_builds, 0);
  // An odd length and a start past zero, still within the short reach.
  std::vector<uint8_t> odd(1001);
  ASSERT_EQ(sim.read_sync(c.dev, odd.data(), static_cast<int>(odd.size()), &n), 0);
  EXPECT_EQ(sim.scene_builds, 0);

  // The same bytes as the table for those settings holds.
  Configured same(default_tuning, std::nullopt);
  sim_build_scene(same.sim);
  EXPECT_TRUE(std::equal(discarded.begin(), discarded.end(), same.sim.scene.begin()));
  EXPECT_TRUE(std::equal(odd.begin(), odd.end(), same.sim.scene.begin() + 4096));

  sim.set_freq_correction(c.dev, sim_crystal_error_ppm);
  for (int r = 0; r < 3; ++r) ASSERT_EQ(sim.read_sync(c.dev, block.data(), static_cast<int>(block.size()), &n), 0);
  EXPECT_EQ(sim.scene_builds, 1);
  // The full reads go on from where the short ones ended (5,097 bytes, rounded down to
  // an I byte), in the table for the corrected settings.
  same.sim.set_freq_correction(same.dev, sim_crystal_error_ppm);
  sim_build_scene(same.sim);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), same.sim.scene.begin() + 5096 + 2 * 65536));
}

TEST(SimDongle, BroadcastStationIsWideFmAtItsOffset) {
  Configured c;
  const std::vector<uint8_t> bytes = c.read(window);
  // A 1 kHz tone at 75 kHz deviation: lines 1 kHz apart out to about 75 kHz either side,
  // weighted by the Bessel functions of index 75, and nothing much beyond.
  const double offset = sim_broadcast_frequency - double(default_tuning);
  double power = 0;
  for (int line = -90; line <= 90; ++line) {
    const double seen = amplitude_at(bytes, offset + 1000 * line);
    power += seen * seen;
    if (line % 15 == 0 || std::abs(line) == 74) {
      const double expected = sim_station_amplitude * std::fabs(std::cyl_bessel_j(std::abs(line), 75.0));
      EXPECT_NEAR(seen, expected, 0.5) << line;
    }
    if (std::abs(line) >= 85) {
      EXPECT_LT(seen, 0.3) << line;
    }
  }
  EXPECT_NEAR(std::sqrt(power), sim_station_amplitude, 0.03 * sim_station_amplitude);
}

TEST(SimDongle, BeaconBurstsEveryTenSecondsAtItsOffsetAndIsSilentBetween) {
  // At 40.2 dB nothing clips, so the stream less its table is exactly the beacon.
  Configured c;
  c.sim.set_tuner_gain(c.dev, 402);
  const double amplitude = sim_station_amplitude * std::pow(10.0, (402 - 496) / 200.0);
  const int block = rate12 / 10;
  // Bursts of 0.76 s from 1 s and from 11 s; a retune at 5 s moves the beacon from
  // -10 kHz to +10 kHz.
  const auto burst = [](int b) { return (b >= 10 && b < 17) || (b >= 110 && b < 117); };
  const auto on_in_last_block =
      static_cast<ptrdiff_t>(std::ceil(beacon_signal().duration() * rate12)) - 7 * block;
  const auto burst_ends = [](int b) { return b == 17 || b == 117; };
  for (int b = 0; b < 120; ++b) {
    if (b == 50) c.sim.set_center_freq(c.dev, default_tuning - 20000);
    const std::vector<int> steps = read_beyond_table(c.sim, c.dev, block);
    const size_t stepped = steps.size() - static_cast<size_t>(std::count(steps.begin(), steps.end(), 0));
    if (!burst(b) && !burst_ends(b)) {
      ASSERT_EQ(stepped, 0u) << "nothing in block " << b;
      continue;
    }
    const std::vector<std::complex<double>> iq = as_iq(steps);
    if (burst_ends(b)) {
      // On for as long as the beacon's signal lasts, to the sample.
      EXPECT_NE(std::abs(iq[on_in_last_block - 1]), 0) << b;
      EXPECT_EQ(std::count(iq.begin() + on_in_last_block, iq.end(), std::complex<double>(0)),
                block - on_in_last_block)
          << b;
      continue;
    }
    double power = 0;
    for (const auto& z : iq) power += std::norm(z);
    EXPECT_NEAR(std::sqrt(power / block), amplitude, 0.02 * amplitude) << b;
    // Around the offset, swinging as a sine of 3 kHz peak does (root mean square 2,121 Hz),
    // give or take the rounding's noise.
    const std::vector<double> hz = run_frequencies(iq, rate12, 25);
    double sum = 0, square = 0;
    for (double f : hz) sum += f;
    const double mean = sum / double(hz.size());
    for (double f : hz) square += (f - mean) * (f - mean);
    EXPECT_NEAR(mean, b < 50 ? -10000 : 10000, 100) << b;
    EXPECT_NEAR(std::sqrt(square / double(hz.size())), sim_beacon_deviation / std::sqrt(2.0), 150) << b;
  }
}

TEST(SimDongle, BeaconKeepsItsTimeAcrossARateChangeAndItsStepsStopAtTheByteLimits) {
  // Half a second at 2.4 MHz, then the first burst is half a second away at 1.2 MHz
  // (at a gain where the scene never clips, so that the burst's first sample shows).
  Configured c;
  c.sim.set_tuner_gain(c.dev, 402);
  c.sim.set_sample_rate(c.dev, 2400000);
  c.read(1200000);
  c.sim.set_sample_rate(c.dev, rate12);
  const std::vector<int> before = read_beyond_table(c.sim, c.dev, rate12 / 2);
  EXPECT_EQ(std::count(before.begin(), before.end(), 0), static_cast<ptrdiff_t>(before.size()));
  const std::vector<int> after = read_beyond_table(c.sim, c.dev, 100000);
  EXPECT_NE(std::abs(as_iq(after).front()), 0);

  // Every byte with every step, in each lane of the eight-byte words and past them.
  std::vector<uint8_t> bytes;
  std::vector<int8_t> steps;
  for (int value = 0; value < 256; ++value) {
    for (int step = -128; step < 128; ++step) {
      bytes.push_back(static_cast<uint8_t>(value));
      steps.push_back(static_cast<int8_t>(step));
    }
  }
  bytes.insert(bytes.end(), {250, 3, 128});
  steps.insert(steps.end(), {10, -4, -128});
  std::vector<uint8_t> sums = bytes;
  sim_add_clamped(sums.data(), steps.data(), sums.size());
  for (size_t k = 0; k < sums.size(); ++k) {
    ASSERT_EQ(sums[k], std::clamp(bytes[k] + steps[k], 0, 255)) << int(bytes[k]) << " + " << int(steps[k]);
  }
}

TEST(SimDongle, PacedReadsNeverRunAheadOfTheSampleRate) {
  SimDongle sim(sim_dongle_choice(), true);
  Dongle* dev = nullptr;
  ASSERT_EQ(sim.open(&dev, 0), 0);
  ASSERT_EQ(sim.set_sample_rate(dev, 3200000), 0);
  std::vector<uint8_t> block(65536);
  int n = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(sim.read_sync(dev, block.data(), 65536, &n), 0);
  // Three blocks of 32,768 samples at 3.2 MHz arrive no sooner than 30.72 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(30720));
}
