// A stand-in for librtlsdr's DLL with every call the receiver makes: one dongle that
// answers with fixed values, so the loader's test can call through what it found.
#include <cstdint>
#include <cstring>

#define EXPORT extern "C" __declspec(dllexport)

namespace {
int device_token = 0;
}

EXPORT uint32_t rtlsdr_get_device_count() { return 1; }
EXPORT const char* rtlsdr_get_device_name(uint32_t) { return "Stand-in RTL2832U"; }
EXPORT int rtlsdr_get_device_usb_strings(uint32_t, char* m, char* p, char* s) {
  std::strcpy(m, "rxiq");
  std::strcpy(p, "stand-in");
  std::strcpy(s, "1");
  return 0;
}
EXPORT int rtlsdr_open(void** dev, uint32_t index) {
  if (index != 0) return -1;
  *dev = &device_token;
  return 0;
}
EXPORT int rtlsdr_close(void*) { return 0; }
EXPORT int rtlsdr_set_tuner_gain_mode(void*, int) { return 0; }
EXPORT int rtlsdr_get_tuner_gains(void*, int* gains) {
  if (gains) gains[0] = 496;
  return 1;
}
EXPORT int rtlsdr_set_tuner_gain(void*, int) { return 0; }
EXPORT int rtlsdr_get_tuner_gain(void*) { return 496; }
EXPORT int rtlsdr_set_agc_mode(void*, int) { return 0; }
EXPORT int rtlsdr_get_offset_tuning(void*) { return 0; }
EXPORT int rtlsdr_get_tuner_type(void*) { return 5; }
EXPORT int rtlsdr_set_center_freq(void*, uint32_t) { return 0; }
EXPORT int rtlsdr_set_sample_rate(void*, uint32_t) { return 0; }
EXPORT int rtlsdr_set_freq_correction(void*, int) { return 0; }
EXPORT int rtlsdr_get_freq_correction(void*) { return 48; }
EXPORT int rtlsdr_reset_buffer(void*) { return 0; }
EXPORT int rtlsdr_read_sync(void*, void* buf, int len, int* n_read) {
  std::memset(buf, 127, static_cast<size_t>(len));
  *n_read = len;
  return 0;
}
