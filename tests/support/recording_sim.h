// The simulated dongle with a log of every call that changes the device, in order
// ("set_center_freq 145725150", "close"), for tests that check what the tuner asked for.
#pragma once

#include <string>
#include <vector>

#include "simulator/sim_dongle.h"

struct RecordingSim : SimDongle {
  using SimDongle::SimDongle;

  std::vector<std::string> calls;

  int open(Dongle** dev, uint32_t index) override {
    calls.push_back("open " + std::to_string(index));
    return SimDongle::open(dev, index);
  }
  int close(Dongle* dev) override {
    calls.push_back("close");
    return SimDongle::close(dev);
  }
  int set_tuner_gain_mode(Dongle* dev, int manual) override {
    calls.push_back("set_tuner_gain_mode " + std::to_string(manual));
    return SimDongle::set_tuner_gain_mode(dev, manual);
  }
  int set_tuner_gain(Dongle* dev, int gain) override {
    calls.push_back("set_tuner_gain " + std::to_string(gain));
    return SimDongle::set_tuner_gain(dev, gain);
  }
  int set_agc_mode(Dongle* dev, int on) override {
    calls.push_back("set_agc_mode " + std::to_string(on));
    return SimDongle::set_agc_mode(dev, on);
  }
  int set_center_freq(Dongle* dev, uint32_t freq) override {
    calls.push_back("set_center_freq " + std::to_string(freq));
    return SimDongle::set_center_freq(dev, freq);
  }
  int set_sample_rate(Dongle* dev, uint32_t rate) override {
    calls.push_back("set_sample_rate " + std::to_string(rate));
    return SimDongle::set_sample_rate(dev, rate);
  }
  int set_freq_correction(Dongle* dev, int ppm) override {
    calls.push_back("set_freq_correction " + std::to_string(ppm));
    return SimDongle::set_freq_correction(dev, ppm);
  }
  int reset_buffer(Dongle* dev) override {
    calls.push_back("reset_buffer");
    return SimDongle::reset_buffer(dev);
  }
};
