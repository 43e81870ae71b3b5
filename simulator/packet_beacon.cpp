#include "simulator/packet_beacon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr uint16_t fcs_polynomial = 0x8408;  // 0x1021 with its bits reversed
constexpr int callsign_length = 6;
constexpr uint8_t ssid_reserved_bits = 0x60;
constexpr uint8_t command_bit = 0x80;    // in the destination's SSID byte
constexpr uint8_t last_address_bit = 0x01;

constexpr double two_pi = 2 * std::numbers::pi;

void put_address(std::vector<uint8_t>& frame, const Ax25Address& address, uint8_t high_bit,
                 bool last) {
  for (int k = 0; k < callsign_length; ++k) {
    const size_t at = static_cast<size_t>(k);
    const char c = at < address.callsign.size() ? address.callsign[at] : ' ';
    frame.push_back(static_cast<uint8_t>(static_cast<uint8_t>(c) << 1));
  }
  frame.push_back(static_cast<uint8_t>(high_bit | ssid_reserved_bits | ((address.ssid & 0x0F) << 1) |
                                       (last ? last_address_bit : 0)));
}

void put_flag(std::vector<uint8_t>& bits) {
  for (int k = 0; k < 8; ++k) bits.push_back((hdlc_flag >> k) & 1);
}

}  // namespace

uint16_t ax25_fcs(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ fcs_polynomial : crc >> 1);
  }
  return static_cast<uint16_t>(crc ^ 0xFFFF);
}

std::vector<uint8_t> ax25_ui_frame(const Ax25Address& destination, const Ax25Address& source,
                                   const std::vector<Ax25Address>& path, std::string_view info) {
  std::vector<uint8_t> frame;
  put_address(frame, destination, command_bit, false);
  put_address(frame, source, 0, path.empty());
  for (size_t k = 0; k < path.size(); ++k) put_address(frame, path[k], 0, k + 1 == path.size());
  frame.push_back(ax25_control_ui);
  frame.push_back(ax25_pid_no_layer3);
  frame.insert(frame.end(), info.begin(), info.end());
  const uint16_t fcs = ax25_fcs(frame);
  frame.push_back(static_cast<uint8_t>(fcs & 0xFF));
  frame.push_back(static_cast<uint8_t>(fcs >> 8));
  return frame;
}

std::vector<uint8_t> hdlc_bits(const std::vector<std::vector<uint8_t>>& frames, int preamble_flags,
                               int trailing_flags) {
  std::vector<uint8_t> bits;
  for (int f = 0; f < preamble_flags; ++f) put_flag(bits);
  for (const std::vector<uint8_t>& frame : frames) {
    int ones = 0;  // in a row, within the frame: flags are sent as they are
    for (uint8_t byte : frame) {
      for (int k = 0; k < 8; ++k) {
        const uint8_t bit = (byte >> k) & 1;
        bits.push_back(bit);
        ones = bit ? ones + 1 : 0;
        if (ones == 5) {
          bits.push_back(0);
          ones = 0;
        }
      }
    }
    for (int f = 0; f < std::max(trailing_flags, 1); ++f) put_flag(bits);
  }
  return bits;
}

std::vector<uint8_t> nrzi_tones(const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> tones;
  tones.reserve(bits.size());
  uint8_t tone = 1;
  for (uint8_t bit : bits) {
    if (!bit) tone ^= 1;
    tones.push_back(tone);
  }
  return tones;
}

AfskSignal::AfskSignal(const std::vector<uint8_t>& tones) {
  bits_.reserve(tones.size());
  double phase = 0;
  double integral = 0;
  for (uint8_t tone : tones) {
    const double frequency = tone ? afsk_mark : afsk_space;
    const Bit bit{frequency, phase, std::cos(phase), integral};
    bits_.push_back(bit);
    const double end = phase + two_pi * frequency / afsk_baud;
    integral += (bit.cosine - std::cos(end)) / (two_pi * frequency);
    phase = std::fmod(end, two_pi);
  }
}

double AfskSignal::duration() const { return static_cast<double>(bits_.size()) / afsk_baud; }

size_t AfskSignal::bit_at(double t) const {
  // At a boundary either neighbour gives the same value: phase and integral run on.
  const double index = std::floor(t * afsk_baud);
  return static_cast<size_t>(std::clamp(index, 0.0, static_cast<double>(bits_.size() - 1)));
}

double AfskSignal::audio(double t) const {
  if (bits_.empty() || t < 0 || t > duration()) return 0;
  const size_t b = bit_at(t);
  const Bit& bit = bits_[b];
  const double into = t - static_cast<double>(b) / afsk_baud;
  return std::sin(bit.phase + two_pi * bit.frequency * into);
}

double AfskSignal::integral(double t) const {
  if (bits_.empty() || t <= 0) return 0;
  const size_t b = bit_at(std::min(t, duration()));
  const Bit& bit = bits_[b];
  const double into = std::min(t, duration()) - static_cast<double>(b) / afsk_baud;
  return bit.integral + (bit.cosine - std::cos(bit.phase + two_pi * bit.frequency * into)) / (two_pi * bit.frequency);
}

void AfskSignal::integrals(double sample_rate, size_t first, std::span<double> out) const {
  size_t k = 0;
  while (k < out.size()) {
    const double t = static_cast<double>(first + k) / sample_rate;
    if (bits_.empty() || t >= duration()) {
      for (; k < out.size(); ++k) out[k] = integral(static_cast<double>(first + k) / sample_rate);
      return;
    }
    // The samples within this bit, from a tone phasor set exactly at the first of them.
    const size_t b = bit_at(t);
    const Bit& bit = bits_[b];
    const double bit_end = static_cast<double>(b + 1) / afsk_baud;
    const double into = t - static_cast<double>(b) / afsk_baud;
    const double radians_per_second = two_pi * bit.frequency;
    double re = std::cos(bit.phase + radians_per_second * into);
    double im = std::sin(bit.phase + radians_per_second * into);
    const double step_re = std::cos(radians_per_second / sample_rate);
    const double step_im = std::sin(radians_per_second / sample_rate);
    do {
      out[k] = bit.integral + (bit.cosine - re) / radians_per_second;
      const double next = re * step_re - im * step_im;
      im = re * step_im + im * step_re;
      re = next;
      ++k;
    } while (k < out.size() && static_cast<double>(first + k) / sample_rate < bit_end);
  }
}

std::vector<float> afsk_audio(const std::vector<std::vector<uint8_t>>& frames, double sample_rate,
                              int preamble_flags, int trailing_flags) {
  const AfskSignal signal(nrzi_tones(hdlc_bits(frames, preamble_flags, trailing_flags)));
  const auto count = static_cast<size_t>(std::ceil(signal.duration() * sample_rate));
  std::vector<float> samples(count);
  for (size_t n = 0; n < count; ++n) {
    samples[n] = static_cast<float>(signal.audio(static_cast<double>(n) / sample_rate));
  }
  return samples;
}

std::vector<uint8_t> beacon_frame() {
  return ax25_ui_frame({beacon_destination, 0}, {beacon_source, beacon_source_ssid},
                       {{beacon_path, beacon_path_ssid}}, beacon_info);
}

AfskSignal beacon_signal() {
  return AfskSignal(nrzi_tones(hdlc_bits({beacon_frame()}, beacon_preamble_flags)));
}

std::vector<float> beacon_audio(double sample_rate) {
  return afsk_audio({beacon_frame()}, sample_rate, beacon_preamble_flags);
}
