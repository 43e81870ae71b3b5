#include "rtl2832.h"

#include <algorithm>
#include <cmath>
#include <libusb.h>

#include "record.h"
#include "settings.h"

namespace {

constexpr int block_usb = 1, block_sys = 2, block_i2c = 6;
constexpr int sys_gpo = 0x3001, sys_gpoe = 0x3003;
constexpr int usb_epa_ctl = 0x2148;
constexpr double two_pow_22 = 4194304.0;
constexpr double two_pow_24 = 16777216.0;
constexpr double nominal_crystal_hz = 28.8e6;

}  // namespace

Rtl2832::Rtl2832() {
  // Power-on resampler ratio: 2.048 MS/s, until librtlsdr sets its own.
  const uint32_t ratio = static_cast<uint32_t>(nominal_crystal_hz * two_pow_22 / 2048000) & 0x0ffffffc;
  demod_[1][0x9f] = static_cast<uint8_t>(ratio >> 24);
  demod_[1][0xa0] = static_cast<uint8_t>(ratio >> 16);
  demod_[1][0xa1] = static_cast<uint8_t>(ratio >> 8);
  demod_[1][0xa2] = static_cast<uint8_t>(ratio);
  demod_[1][0xb1] = 0x1b;  // zero-IF input
  demod_[0][0x08] = 0xcd;  // both ADCs
}

int Rtl2832::control(uint8_t request_type, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) {
  if ((request_type & LIBUSB_REQUEST_TYPE_VENDOR) != LIBUSB_REQUEST_TYPE_VENDOR) return LIBUSB_ERROR_PIPE;
  const bool in = request_type & LIBUSB_ENDPOINT_IN;
  if (!data && length > 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (index < 0x100) {
    // Demodulator: the register in the value's high byte, the page in the index.
    if ((value & 0xff) != 0x20) return LIBUSB_ERROR_PIPE;
    return demod(in, index & 0x0f, value >> 8, data, length);
  }
  const int which = index >> 8;
  if (which == block_i2c) return i2c(in, value, data, length);
  return block(in, which, value, data, length);
}

int Rtl2832::demod(bool in, int page, int addr, uint8_t* data, int length) {
  if (addr + length > 256) return LIBUSB_ERROR_PIPE;
  for (int i = 0; i < length; ++i) {
    if (in) data[i] = demod_[page][addr + i];
    else demod_[page][addr + i] = data[i];
  }
  if (!in) after_demod_write(page, addr, length);
  return length;
}

int Rtl2832::block(bool in, int which, int addr, uint8_t* data, int length) {
  for (int i = 0; i < length; ++i) {
    const uint32_t key = (static_cast<uint32_t>(which) << 16) | static_cast<uint32_t>(addr + i);
    if (in) data[i] = blocks_[key];
    else blocks_[key] = data[i];
  }
  if (!in && which == block_sys) after_block_write(addr);
  // librtlsdr resets the endpoint's FIFO (EPA_CTL 0x1002, then 0) before streaming.
  if (!in && which == block_usb && addr == usb_epa_ctl && length == 2 && data[0] == 0 && data[1] == 0) ++fifo_resets_;
  return length;
}

int Rtl2832::i2c(bool in, int address, uint8_t* data, int length) {
  // Only the tuner is on the bus, and only while the repeater passes to it; any other
  // address goes unanswered, as on hardware, and the transfer stalls.
  const bool repeater = demod_[1][0x01] & 0x08;
  if (!repeater || address != R820t::i2c_address) return LIBUSB_ERROR_PIPE;
  if (in) {
    tuner_.read(data, length, crystal_hz());
    // Reads of the lock bit end each PLL setting: the tuning is complete then.
    if (length >= 3) note_tuning();
  } else {
    tuner_.write(data, length);
    note_gain();
  }
  return length;
}

void Rtl2832::after_demod_write(int page, int addr, int length) {
  auto wrote = [&](int p, int a) { return page == p && addr <= a && a < addr + length; };
  // Soft reset after a new resampler ratio: the rate is settled.
  if (wrote(1, 0x01) && demod_[1][0x01] == 0x14) {
    const double rate = rate_hz();
    if (rate != said_rate_) {
      said_rate_ = rate;
      record_line("rate %.3f", rate);
    }
  }
  if (wrote(1, 0x3e)) {
    int offs = ((demod_[1][0x3e] & 0x3f) << 8) | demod_[1][0x3f];
    if (offs & 0x2000) offs -= 0x4000;
    const int ppm = static_cast<int>(std::lround(-offs * 1e6 / two_pow_24));
    if (ppm != said_ppm_) {
      said_ppm_ = ppm;
      record_line("correction ppm=%d", ppm);
    }
  }
  if (wrote(0, 0x19)) {
    const uint8_t mode = demod_[0][0x19];
    const int agc = (mode & 0x20) ? 1 : 0;
    if (agc != said_agc_) {
      said_agc_ = agc;
      record_line("agc %s", agc ? "on" : "off");
    }
  }
  // Direct sampling: zero-IF off, spectrum not inverted and only the I ADC in use; the
  // ADC swap register, written last, says which input.
  if (wrote(0, 0x06)) {
    int direct = 0;
    if (!(demod_[1][0xb1] & 0x01) && !(demod_[1][0x15] & 0x01) && demod_[0][0x08] == 0x4d)
      direct = demod_[0][0x06] == 0x90 ? 2 : 1;
    if (direct != said_direct_) {
      said_direct_ = direct;
      record_line("direct-sampling %d", direct);
    }
  }
}

void Rtl2832::after_block_write(int addr) {
  if (addr != sys_gpo && addr != sys_gpoe) return;
  // The bias tee hangs on GPIO 0: on when it is an output and driven high.
  const uint32_t gpo = (static_cast<uint32_t>(block_sys) << 16) | sys_gpo;
  const uint32_t gpoe = (static_cast<uint32_t>(block_sys) << 16) | sys_gpoe;
  const int bias = (blocks_[gpo] & 0x01) && (blocks_[gpoe] & 0x01) ? 1 : 0;
  if (bias != said_bias_) {
    said_bias_ = bias;
    record_line("bias-tee %s", bias ? "on" : "off");
  }
}

void Rtl2832::note_tuning() {
  const double lo = tuner_.lo_hz(crystal_hz());
  const double ifreq = ddc_if_hz();
  const int lock = tuner_.locked(crystal_hz()) ? 1 : 0;
  if (lo == said_lo_ && ifreq == said_if_ && lock == said_lock_) return;
  said_lo_ = lo;
  said_if_ = ifreq;
  said_lock_ = lock;
  record_line("tuned LO=%.3f IF=%.3f rf=%.3f lock=%d", lo, ifreq, tuned_rf_hz(), lock);
}

void Rtl2832::note_gain() {
  // Standby parks the gain registers; that is no gain setting.
  const bool standby = tuner_.standby();
  if (standby != said_standby_) {
    said_standby_ = standby;
    if (standby) record_line("tuner standby");
  }
  if (standby) return;
  const TunerGain g = tuner_.gain();
  if (said_any_gain_ && g == said_gain_) return;
  said_any_gain_ = true;
  said_gain_ = g;
  if (g.manual)
    record_line("gain mode=manual lna=%d mixer=%d vga=%d db=%.1f", g.lna, g.mixer, g.vga, g.tenths_db / 10.0);
  else
    record_line("gain mode=auto vga=%d", g.vga);
}

double Rtl2832::crystal_hz() const { return nominal_crystal_hz * (1 + settings().crystal_ppm / 1e6); }

double Rtl2832::ddc_if_hz() const {
  int v = ((demod_[1][0x19] & 0x3f) << 16) | (demod_[1][0x1a] << 8) | demod_[1][0x1b];
  if (v & 0x200000) v -= 0x400000;
  return -v * crystal_hz() / two_pow_22;
}

double Rtl2832::rate_hz() const {
  uint32_t ratio = (static_cast<uint32_t>(demod_[1][0x9f]) << 24) | (demod_[1][0xa0] << 16) |
                   (demod_[1][0xa1] << 8) | demod_[1][0xa2];
  ratio |= (ratio & 0x08000000) << 1;
  return ratio ? crystal_hz() * two_pow_22 / ratio : 0;
}

double Rtl2832::tuned_rf_hz() const {
  // The R820T mixes with its LO above the signal, so the IF comes out inverted; with
  // the demodulator's inversion on, the down-converter puts LO - IF at 0 Hz.
  const double lo = tuner_.lo_hz(crystal_hz());
  return (demod_[1][0x15] & 0x01) ? lo - ddc_if_hz() : lo + ddc_if_hz();
}

StreamSettings Rtl2832::stream_settings() const {
  StreamSettings s;
  s.rate_hz = rate_hz();
  s.tuned_rf_hz = tuned_rf_hz();
  s.tone = said_direct_ == 0 && !tuner_.standby() && tuner_.locked(crystal_hz());
  const TunerGain g = tuner_.gain();
  if (g.manual) {
    // Relative to the middle of the gain list, where the carrier has its usual size.
    s.amplitude = std::clamp(0.3 * std::pow(10.0, (g.tenths_db / 10.0 - 29.7) / 20.0), 0.003, 0.45);
  }
  return s;
}
