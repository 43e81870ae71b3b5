// APRS packets as a dongle would deliver them: each its own FM transmission (AFSK 1200,
// 3 kHz deviation) at an offset from the tuning, with white noise over the whole band,
// as unsigned 8-bit I/Q. For judging the listening channel with real decoders.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "simulator/packet_beacon.h"

inline constexpr double packet_dongle_rate = 1200000.0;  // rxiq12's
inline constexpr double packet_deviation = 3000.0;       // Hz, as APRS stations are set up
inline constexpr int32_t packet_station_offset = -10000;
inline constexpr double packet_channel_bandwidth = 16000.0;  // what the ratios refer to
inline constexpr double packet_carrier_bytes = 40.0;         // the station's amplitude
// Packet n (from 1) says "<packet_text> n", from N0CALL-7 to APZRXQ via WIDE1-1.
inline constexpr const char* packet_text = "rxiq listening test";

// `count` packets 0.4 s apart after 0.3 s of noise, at `snr_db` carrier to noise in the
// 16 kHz channel.
inline std::vector<uint8_t> packet_recording(int count, double snr_db, unsigned seed, double rate) {
  struct Burst {
    AfskSignal signal;
    double start;  // seconds into the recording
  };
  std::vector<Burst> bursts;
  double at = 0.3;
  for (int n = 0; n < count; ++n) {
    const std::string info = std::string(">") + packet_text + " " + std::to_string(n + 1);
    const auto frame = ax25_ui_frame({"APZRXQ", 0}, {"N0CALL", 7}, {{"WIDE1", 1}}, info);
    bursts.push_back({AfskSignal(nrzi_tones(hdlc_bits({frame}, beacon_preamble_flags))), at});
    at += bursts.back().signal.duration() + 0.4;
  }
  const size_t samples = static_cast<size_t>(at * rate);
  // Noise over the whole band, so much of it in the channel as the ratio asks.
  const double channel_noise = packet_carrier_bytes * packet_carrier_bytes / std::pow(10.0, snr_db / 10);
  const double sigma = std::sqrt(channel_noise * rate / packet_channel_bandwidth / 2);
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  auto byte = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
  std::vector<uint8_t> bytes(2 * samples);
  std::vector<double> integrals;
  size_t k = 0;
  for (const Burst& burst : bursts) {
    // Between bursts the transmitter is off: noise alone.
    for (const size_t begin = static_cast<size_t>(burst.start * rate); k < begin; ++k) {
      bytes[2 * k] = byte(127.5 + noise(random));
      bytes[2 * k + 1] = byte(127.5 + noise(random));
    }
    integrals.resize(static_cast<size_t>(burst.signal.duration() * rate));
    burst.signal.integrals(rate, 0, integrals);
    for (size_t n = 0; n < integrals.size() && k < samples; ++n, ++k) {
      const double phase = 2 * std::numbers::pi *
                           (packet_station_offset * static_cast<double>(k) / rate + packet_deviation * integrals[n]);
      bytes[2 * k] = byte(127.5 + packet_carrier_bytes * std::cos(phase) + noise(random));
      bytes[2 * k + 1] = byte(127.5 + packet_carrier_bytes * std::sin(phase) + noise(random));
    }
  }
  for (; k < samples; ++k) {
    bytes[2 * k] = byte(127.5 + noise(random));
    bytes[2 * k + 1] = byte(127.5 + noise(random));
  }
  return bytes;
}
