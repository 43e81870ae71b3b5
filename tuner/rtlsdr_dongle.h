// The real dongle: librtlsdr, called one to one.
#pragma once

#include "tuner/dongle.h"

struct RtlsdrDongle final : DongleApi {
  uint32_t get_device_count() override;
  const char* get_device_name(uint32_t index) override;
  int get_device_usb_strings(uint32_t index, char* manufact, char* product,
                             char* serial) override;
  int open(Dongle** dev, uint32_t index) override;
  int close(Dongle* dev) override;
  int set_tuner_gain_mode(Dongle* dev, int manual) override;
  int get_tuner_gains(Dongle* dev, int* gains) override;
  int set_tuner_gain(Dongle* dev, int gain) override;
  int get_tuner_gain(Dongle* dev) override;
  int set_agc_mode(Dongle* dev, int on) override;
  int get_offset_tuning(Dongle* dev) override;
  int get_tuner_type(Dongle* dev) override;
  int set_center_freq(Dongle* dev, uint32_t freq) override;
  int set_sample_rate(Dongle* dev, uint32_t rate) override;
  int set_freq_correction(Dongle* dev, int ppm) override;
  int get_freq_correction(Dongle* dev) override;
  int reset_buffer(Dongle* dev) override;
  int read_sync(Dongle* dev, void* buf, int len, int* n_read) override;
  int set_bias_tee(Dongle* dev, int on) override;
  int set_direct_sampling(Dongle* dev, int on) override;
  int set_offset_tuning(Dongle* dev, int on) override;
  int get_index_by_serial(const char* serial) override;
};
