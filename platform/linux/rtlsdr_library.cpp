// Linux: librtlsdr is linked, so every call is always there.
#include "platform/rtlsdr_library.h"

#include <rtl-sdr.h>

bool rtlsdr_library_open(RtlsdrLibrary& lib, std::string&) {
  lib.get_device_count = rtlsdr_get_device_count;
  lib.get_device_name = rtlsdr_get_device_name;
  lib.get_device_usb_strings = rtlsdr_get_device_usb_strings;
  lib.open = rtlsdr_open;
  lib.close = rtlsdr_close;
  lib.set_tuner_gain_mode = rtlsdr_set_tuner_gain_mode;
  lib.get_tuner_gains = rtlsdr_get_tuner_gains;
  lib.set_tuner_gain = rtlsdr_set_tuner_gain;
  lib.get_tuner_gain = rtlsdr_get_tuner_gain;
  lib.set_agc_mode = rtlsdr_set_agc_mode;
  lib.get_offset_tuning = rtlsdr_get_offset_tuning;
  // The library's enum of tuners, taken as the plain int it is.
  lib.get_tuner_type = [](rtlsdr_dev* dev) { return static_cast<int>(rtlsdr_get_tuner_type(dev)); };
  lib.set_center_freq = rtlsdr_set_center_freq;
  lib.set_sample_rate = rtlsdr_set_sample_rate;
  lib.set_freq_correction = rtlsdr_set_freq_correction;
  lib.get_freq_correction = rtlsdr_get_freq_correction;
  lib.reset_buffer = rtlsdr_reset_buffer;
  lib.read_sync = rtlsdr_read_sync;
  lib.set_bias_tee = rtlsdr_set_bias_tee;
  lib.set_direct_sampling = rtlsdr_set_direct_sampling;
  lib.set_offset_tuning = rtlsdr_set_offset_tuning;
  lib.get_index_by_serial = rtlsdr_get_index_by_serial;
  return true;
}
