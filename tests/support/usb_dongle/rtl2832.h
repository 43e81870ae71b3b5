// The RTL2832U's registers as librtlsdr reaches them by vendor control transfers: the
// demodulator's pages, the USB/system blocks, and the I2C bus behind its repeater with
// the R820T on it. From what librtlsdr writes it works out the sample rate, where the
// tuning really lands, and the settings the record reports.
#pragma once

#include <cstdint>
#include <map>

#include "r820t.h"

// What the sample stream needs to know, taken under the device's lock.
struct StreamSettings {
  double rate_hz = 0;
  double tuned_rf_hz = 0;  // the radio frequency that comes out at 0 Hz in the I/Q
  bool tone = false;       // the tuner is on, locked and not bypassed
  double amplitude = 0.3;  // the carrier's share of full scale, after the tuner's gain
};

class Rtl2832 {
 public:
  Rtl2832();
  // One vendor control transfer: the byte count, or a negative libusb error.
  int control(uint8_t request_type, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
  StreamSettings stream_settings() const;
  // Counts librtlsdr's resets of the sample FIFO, which restart the stream's clock.
  unsigned long fifo_resets() const { return fifo_resets_; }

 private:
  int demod(bool in, int page, int addr, uint8_t* data, int length);
  int block(bool in, int block, int addr, uint8_t* data, int length);
  int i2c(bool in, int address, uint8_t* data, int length);
  void after_demod_write(int page, int addr, int length);
  void after_block_write(int addr);
  void note_tuning();
  void note_gain();
  double crystal_hz() const;
  double ddc_if_hz() const;
  double rate_hz() const;
  double tuned_rf_hz() const;

  uint8_t demod_[16][256]{};
  std::map<uint32_t, uint8_t> blocks_;
  R820t tuner_;
  unsigned long fifo_resets_ = 0;

  // What the record last said, so that it says each change once.
  double said_lo_ = -1, said_if_ = 0, said_rate_ = -1;
  int said_lock_ = -1, said_ppm_ = 0, said_agc_ = -1, said_bias_ = 0, said_direct_ = 0;
  TunerGain said_gain_{};
  bool said_any_gain_ = false;
  bool said_standby_ = false;
};
