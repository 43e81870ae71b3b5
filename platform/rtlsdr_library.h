// librtlsdr as the tuner reaches it: linked into the program on Linux, a DLL beside the
// program on Windows (loaded at run time, so that the receiver starts, and says what is
// missing, without it).
#pragma once

#include <cstdint>
#include <string>

// The library's device handle, never looked into.
struct rtlsdr_dev;

// Exactly the calls the tuner thread makes, with the library's own signatures.
struct RtlsdrLibrary {
  uint32_t (*get_device_count)() = nullptr;
  const char* (*get_device_name)(uint32_t index) = nullptr;
  int (*get_device_usb_strings)(uint32_t index, char* manufact, char* product,
                                char* serial) = nullptr;
  int (*open)(rtlsdr_dev** dev, uint32_t index) = nullptr;
  int (*close)(rtlsdr_dev* dev) = nullptr;
  int (*set_tuner_gain_mode)(rtlsdr_dev* dev, int manual) = nullptr;
  int (*get_tuner_gains)(rtlsdr_dev* dev, int* gains) = nullptr;
  int (*set_tuner_gain)(rtlsdr_dev* dev, int gain) = nullptr;
  int (*get_tuner_gain)(rtlsdr_dev* dev) = nullptr;
  int (*set_agc_mode)(rtlsdr_dev* dev, int on) = nullptr;
  int (*get_offset_tuning)(rtlsdr_dev* dev) = nullptr;
  int (*get_tuner_type)(rtlsdr_dev* dev) = nullptr;
  int (*set_center_freq)(rtlsdr_dev* dev, uint32_t freq) = nullptr;
  int (*set_sample_rate)(rtlsdr_dev* dev, uint32_t rate) = nullptr;
  int (*set_freq_correction)(rtlsdr_dev* dev, int ppm) = nullptr;
  int (*get_freq_correction)(rtlsdr_dev* dev) = nullptr;
  int (*reset_buffer)(rtlsdr_dev* dev) = nullptr;
  int (*read_sync)(rtlsdr_dev* dev, void* buf, int len, int* n_read) = nullptr;
  // Asked for by options only; a library without them (an old DLL) leaves them null and
  // the option is then reported as unavailable.
  int (*set_bias_tee)(rtlsdr_dev* dev, int on) = nullptr;
  int (*set_direct_sampling)(rtlsdr_dev* dev, int on) = nullptr;
  int (*set_offset_tuning)(rtlsdr_dev* dev, int on) = nullptr;
  int (*get_index_by_serial)(const char* serial) = nullptr;
};

// Fills lib with the library's calls. False when the library cannot be had, with
// problem set to one line saying what is missing and what to do; lib is then left empty.
bool rtlsdr_library_open(RtlsdrLibrary& lib, std::string& problem);
