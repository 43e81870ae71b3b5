// The R820T tuner as librtlsdr sees it through the RTL2832U's I2C repeater: 32 write
// registers, and reads that always start at register 0 and come out bit-reversed.
#pragma once

#include <array>
#include <cstdint>

struct TunerGain {
  bool manual = false;  // LNA and mixer under manual control
  int lna = 0;          // register 0x05 bits 3:0
  int mixer = 0;        // register 0x07 bits 3:0
  int vga = 0;          // register 0x0c bits 3:0
  int tenths_db = 0;    // what LNA and mixer steps add up to, as librtlsdr's gain list counts
  bool operator==(const TunerGain&) const = default;
};

class R820t {
 public:
  static constexpr uint8_t i2c_address = 0x34;

  // data[0] is the first register, the rest its values in turn.
  void write(const uint8_t* data, int length);
  // Fills data as the chip sends it: bit-reversed, from register 0.
  void read(uint8_t* data, int length, double crystal_hz) const;

  // The local oscillator the PLL registers make from the crystal, and whether the VCO
  // that needs can run (the chip reports lock only then).
  double lo_hz(double crystal_hz) const;
  bool locked(double crystal_hz) const;
  TunerGain gain() const;
  // Registers 0x05 and 0x06 as librtlsdr leaves them when it puts the tuner to sleep.
  bool standby() const { return regs_[0x06] == 0xb1 && regs_[0x05] == 0xa0; }

 private:
  std::array<uint8_t, 32> regs_{};
};
