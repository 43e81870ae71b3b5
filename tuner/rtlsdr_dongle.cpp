#include "tuner/rtlsdr_dongle.h"

#include <rtl-sdr.h>

namespace {

// The receiver only ever holds a Dongle*; for the real library it is the library's own
// device pointer, converted back here.
rtlsdr_dev_t* rtl(Dongle* dev) { return reinterpret_cast<rtlsdr_dev_t*>(dev); }

}  // namespace

uint32_t RtlsdrDongle::get_device_count() { return rtlsdr_get_device_count(); }

const char* RtlsdrDongle::get_device_name(uint32_t index) {
  return rtlsdr_get_device_name(index);
}

int RtlsdrDongle::get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                         char* serial) {
  return rtlsdr_get_device_usb_strings(index, manufact, product, serial);
}

int RtlsdrDongle::open(Dongle** dev, uint32_t index) {
  rtlsdr_dev_t* opened = nullptr;
  int result = rtlsdr_open(&opened, index);
  if (result >= 0) *dev = reinterpret_cast<Dongle*>(opened);
  return result;
}

int RtlsdrDongle::close(Dongle* dev) { return rtlsdr_close(rtl(dev)); }

int RtlsdrDongle::set_tuner_gain_mode(Dongle* dev, int manual) {
  return rtlsdr_set_tuner_gain_mode(rtl(dev), manual);
}

int RtlsdrDongle::get_tuner_gains(Dongle* dev, int* gains) {
  return rtlsdr_get_tuner_gains(rtl(dev), gains);
}

int RtlsdrDongle::set_tuner_gain(Dongle* dev, int gain) {
  return rtlsdr_set_tuner_gain(rtl(dev), gain);
}

int RtlsdrDongle::get_tuner_gain(Dongle* dev) { return rtlsdr_get_tuner_gain(rtl(dev)); }

int RtlsdrDongle::set_agc_mode(Dongle* dev, int on) { return rtlsdr_set_agc_mode(rtl(dev), on); }

int RtlsdrDongle::get_offset_tuning(Dongle* dev) { return rtlsdr_get_offset_tuning(rtl(dev)); }

int RtlsdrDongle::set_center_freq(Dongle* dev, uint32_t freq) {
  return rtlsdr_set_center_freq(rtl(dev), freq);
}

int RtlsdrDongle::set_sample_rate(Dongle* dev, uint32_t rate) {
  return rtlsdr_set_sample_rate(rtl(dev), rate);
}

int RtlsdrDongle::set_freq_correction(Dongle* dev, int ppm) {
  return rtlsdr_set_freq_correction(rtl(dev), ppm);
}

int RtlsdrDongle::get_freq_correction(Dongle* dev) {
  return rtlsdr_get_freq_correction(rtl(dev));
}

int RtlsdrDongle::reset_buffer(Dongle* dev) { return rtlsdr_reset_buffer(rtl(dev)); }

int RtlsdrDongle::read_sync(Dongle* dev, void* buf, int len, int* n_read) {
  return rtlsdr_read_sync(rtl(dev), buf, len, n_read);
}
