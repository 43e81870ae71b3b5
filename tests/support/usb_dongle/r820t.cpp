#include "r820t.h"

#include <cmath>

namespace {

uint8_t bit_reversed(uint8_t byte) {
  uint8_t out = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (byte & (1u << bit)) out = static_cast<uint8_t>(out | (0x80u >> bit));
  }
  return out;
}

// The VCO's range; outside it the PLL does not lock.
constexpr double vco_min_hz = 1770e6;
constexpr double vco_max_hz = 3540e6;

// Gain added by each LNA and mixer step, in tenths of a dB (what librtlsdr's list of
// gains is made of).
constexpr int lna_steps[] = {0, 9, 13, 40, 38, 13, 31, 22, 26, 31, 26, 14, 19, 5, 35, 13};
constexpr int mixer_steps[] = {0, 5, 10, 10, 19, 9, 10, 25, 17, 10, 8, 16, 13, 6, 3, -8};

}  // namespace

void R820t::write(const uint8_t* data, int length) {
  if (length < 1) return;
  unsigned reg = data[0];
  for (int i = 1; i < length && reg < regs_.size(); ++i, ++reg) regs_[reg] = data[i];
}

void R820t::read(uint8_t* data, int length, double crystal_hz) const {
  for (int i = 0; i < length; ++i) {
    uint8_t value = 0;
    switch (i) {
      case 0: value = 0x96; break;  // the chip's identity: 0x69 on the wire
      case 2: value = static_cast<uint8_t>((locked(crystal_hz) ? 0x40 : 0x00) | 0x20); break;
      // VCO fine tune at its middle (2), and a filter calibration code that worked.
      case 4: value = 0x28; break;
      default: value = i < static_cast<int>(regs_.size()) && i >= 5 ? regs_[i] : 0; break;
    }
    data[i] = bit_reversed(value);
  }
}

double R820t::lo_hz(double crystal_hz) const {
  const int mix_div = 2 << ((regs_[0x10] >> 5) & 0x07);
  const double ref = (regs_[0x10] & 0x10) ? crystal_hz / 2 : crystal_hz;
  const int nint = 4 * (regs_[0x14] & 0x3f) + (regs_[0x14] >> 6) + 13;
  const bool sdm_off = regs_[0x12] & 0x08;
  const double sdm = sdm_off ? 0.0 : ((regs_[0x16] << 8) | regs_[0x15]) / 65536.0;
  return 2 * ref * (nint + sdm) / mix_div;
}

bool R820t::locked(double crystal_hz) const {
  const int mix_div = 2 << ((regs_[0x10] >> 5) & 0x07);
  const double vco = lo_hz(crystal_hz) * mix_div;
  return vco >= vco_min_hz * 0.999 && vco <= vco_max_hz * 1.001;
}

TunerGain R820t::gain() const {
  TunerGain g;
  g.manual = (regs_[0x05] & 0x10) && !(regs_[0x07] & 0x10);
  g.lna = regs_[0x05] & 0x0f;
  g.mixer = regs_[0x07] & 0x0f;
  g.vga = regs_[0x0c] & 0x0f;
  for (int i = 1; i <= g.lna; ++i) g.tenths_db += lna_steps[i];
  for (int i = 1; i <= g.mixer; ++i) g.tenths_db += mixer_steps[i];
  return g;
}
