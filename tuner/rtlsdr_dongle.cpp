#include "tuner/rtlsdr_dongle.h"

#include <string>

#include "core/print_console.h"
#include "platform/rtlsdr_library.h"

namespace {

// Loaded once, by the tuner thread's first call (the device count), which is the only
// thread that calls into the library.
struct LoadedRtlsdr {
  bool tried = false;
  bool ok = false;
  RtlsdrLibrary calls;
};
LoadedRtlsdr rtlsdr;

bool library_ready() {
  if (!rtlsdr.tried) {
    rtlsdr.tried = true;
    std::string problem;
    rtlsdr.ok = rtlsdr_library_open(rtlsdr.calls, problem);
    if (!rtlsdr.ok) print_console("%s", problem.c_str());
  }
  return rtlsdr.ok;
}

// The receiver only ever holds a Dongle*; for the real library it is the library's own
// device pointer, converted back here.
rtlsdr_dev* rtl(Dongle* dev) { return reinterpret_cast<rtlsdr_dev*>(dev); }

// Without the library there is no dongle: the count is 0 and the tuner thread ends
// there, so the calls below are reached only with the library loaded.
constexpr int no_library = -1;

}  // namespace

uint32_t RtlsdrDongle::get_device_count() {
  return library_ready() ? rtlsdr.calls.get_device_count() : 0;
}

const char* RtlsdrDongle::get_device_name(uint32_t index) {
  return library_ready() ? rtlsdr.calls.get_device_name(index) : "";
}

int RtlsdrDongle::get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                         char* serial) {
  if (!library_ready()) return no_library;
  return rtlsdr.calls.get_device_usb_strings(index, manufact, product, serial);
}

int RtlsdrDongle::open(Dongle** dev, uint32_t index) {
  if (!library_ready()) return no_library;
  rtlsdr_dev* opened = nullptr;
  int result = rtlsdr.calls.open(&opened, index);
  if (result >= 0) *dev = reinterpret_cast<Dongle*>(opened);
  return result;
}

int RtlsdrDongle::close(Dongle* dev) {
  return library_ready() ? rtlsdr.calls.close(rtl(dev)) : no_library;
}

int RtlsdrDongle::set_tuner_gain_mode(Dongle* dev, int manual) {
  return rtlsdr.calls.set_tuner_gain_mode(rtl(dev), manual);
}

int RtlsdrDongle::get_tuner_gains(Dongle* dev, int* gains) {
  return rtlsdr.calls.get_tuner_gains(rtl(dev), gains);
}

int RtlsdrDongle::set_tuner_gain(Dongle* dev, int gain) {
  return rtlsdr.calls.set_tuner_gain(rtl(dev), gain);
}

int RtlsdrDongle::get_tuner_gain(Dongle* dev) { return rtlsdr.calls.get_tuner_gain(rtl(dev)); }

int RtlsdrDongle::set_agc_mode(Dongle* dev, int on) {
  return rtlsdr.calls.set_agc_mode(rtl(dev), on);
}

int RtlsdrDongle::get_offset_tuning(Dongle* dev) {
  return rtlsdr.calls.get_offset_tuning(rtl(dev));
}

int RtlsdrDongle::get_tuner_type(Dongle* dev) {
  return rtlsdr.calls.get_tuner_type(rtl(dev));
}

int RtlsdrDongle::set_center_freq(Dongle* dev, uint32_t freq) {
  return rtlsdr.calls.set_center_freq(rtl(dev), freq);
}

int RtlsdrDongle::set_sample_rate(Dongle* dev, uint32_t rate) {
  return rtlsdr.calls.set_sample_rate(rtl(dev), rate);
}

int RtlsdrDongle::set_freq_correction(Dongle* dev, int ppm) {
  return rtlsdr.calls.set_freq_correction(rtl(dev), ppm);
}

int RtlsdrDongle::get_freq_correction(Dongle* dev) {
  return rtlsdr.calls.get_freq_correction(rtl(dev));
}

int RtlsdrDongle::reset_buffer(Dongle* dev) { return rtlsdr.calls.reset_buffer(rtl(dev)); }

int RtlsdrDongle::read_sync(Dongle* dev, void* buf, int len, int* n_read) {
  return rtlsdr.calls.read_sync(rtl(dev), buf, len, n_read);
}

// An old Windows DLL may lack these: the option is then refused like an unsupported one.
int RtlsdrDongle::set_bias_tee(Dongle* dev, int on) {
  return rtlsdr.calls.set_bias_tee ? rtlsdr.calls.set_bias_tee(rtl(dev), on) : no_library;
}

int RtlsdrDongle::set_direct_sampling(Dongle* dev, int on) {
  return rtlsdr.calls.set_direct_sampling ? rtlsdr.calls.set_direct_sampling(rtl(dev), on) : no_library;
}

int RtlsdrDongle::set_offset_tuning(Dongle* dev, int on) {
  return rtlsdr.calls.set_offset_tuning ? rtlsdr.calls.set_offset_tuning(rtl(dev), on) : no_library;
}

int RtlsdrDongle::get_index_by_serial(const char* serial) {
  if (!library_ready() || !rtlsdr.calls.get_index_by_serial) return no_library;
  return rtlsdr.calls.get_index_by_serial(serial);
}
