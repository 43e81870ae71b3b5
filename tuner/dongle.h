// The dongle as the tuner thread sees it: exactly the librtlsdr operations it uses, with
// librtlsdr's arguments and results, behind one interface. Four implementations: the
// real library (rtlsdr_dongle.h), a simulated RTL2832U with an R820T tuner
// (sim_dongle.h), a dongle served over the network by rtl_tcp (rtl_tcp_dongle.h) and a
// recording played back (file_dongle.h).
// RXIQ_DONGLE chooses between them at start-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/rx_state.h"  // struct Dongle, the open-device handle

// The three USB string buffers of get_device_usb_strings hold this many bytes each.
inline constexpr int usb_string_size = 256;

// A read that fails with this result means the device is no longer on the bus (libusb's
// "no such device", which is what a bulk read reports once a dongle has been unplugged).
inline constexpr int dongle_gone_result = -4;

// librtlsdr's answer to offset tuning on an R820T or R828D, which have no use for it.
inline constexpr int offset_tuning_refused_result = -2;

struct DongleApi {
  virtual ~DongleApi() = default;

  virtual uint32_t get_device_count() = 0;
  virtual const char* get_device_name(uint32_t index) = 0;
  virtual int get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                     char* serial) = 0;
  // On success stores the handle in *dev and returns 0; negative on failure, *dev untouched.
  virtual int open(Dongle** dev, uint32_t index) = 0;
  virtual int close(Dongle* dev) = 0;

  virtual int set_tuner_gain_mode(Dongle* dev, int manual) = 0;
  // With gains null, only the number of gains is returned.
  virtual int get_tuner_gains(Dongle* dev, int* gains) = 0;
  virtual int set_tuner_gain(Dongle* dev, int gain) = 0;
  virtual int get_tuner_gain(Dongle* dev) = 0;
  virtual int set_agc_mode(Dongle* dev, int on) = 0;
  virtual int get_offset_tuning(Dongle* dev) = 0;
  // librtlsdr's enum rtlsdr_tuner: 0 unknown, 1 E4000, 2 FC0012, 3 FC0013, 4 FC2580,
  // 5 R820T, 6 R828D.
  virtual int get_tuner_type(Dongle* dev) = 0;
  virtual int set_center_freq(Dongle* dev, uint32_t freq) = 0;
  virtual int set_sample_rate(Dongle* dev, uint32_t rate) = 0;
  virtual int set_freq_correction(Dongle* dev, int ppm) = 0;
  virtual int get_freq_correction(Dongle* dev) = 0;
  virtual int reset_buffer(Dongle* dev) = 0;
  // Blocks until len bytes have been read; negative on failure.
  virtual int read_sync(Dongle* dev, void* buf, int len, int* n_read) = 0;

  // What the options ask of the hardware; negative where the dongle cannot do it.
  // Bias tee: power on the antenna input. Direct sampling: 0 off, 1 the I input, 2 the
  // Q input (HF on dongles wired for it). Offset tuning: for E4000 tuners (an R820T
  // refuses it with -2).
  virtual int set_bias_tee(Dongle* dev, int on) = 0;
  virtual int set_direct_sampling(Dongle* dev, int on) = 0;
  virtual int set_offset_tuning(Dongle* dev, int on) = 0;
  // The index of the dongle with this USB serial number; negative when none has it.
  virtual int get_index_by_serial(const char* serial) = 0;

  // Whether a dongle that has gone may be looked for again (a recording that ended will
  // not come back), and whether it sits across a network, where looking again backs off.
  virtual bool comes_back() const { return true; }
  virtual bool across_network() const { return false; }
  // While set, a failed open is not reported each time: a receiver looking for its
  // dongle again says so once.
  virtual void quiet_failures(bool) {}

  // The receiver's running flag. A dongle whose calls can wait on something outside the
  // process (a network peer) gives up soon after the flag is cleared, so that shutdown
  // never waits on it; the others ignore it.
  virtual void watch_running(const std::atomic<uint8_t>* /*running*/) {}
};

// What the session's options ask of the dongle, applied at every opening.
struct DongleOptions {
  bool bias_tee = false;     // --bias-tee
  int direct_sampling = 0;   // --direct-sampling: 0 off, 1 i, 2 q
  bool offset_tuning = false;  // --offset-tuning
  std::string serial{};      // --serial: the dongle with this serial number, not dev_index
  bool reconnect = true;     // off with --no-reconnect: a gone dongle is not looked for
};

// What RXIQ_DONGLE asks for.
enum class DongleKind { librtlsdr, sim, tcp, file };
enum class SimFailure { none, no_device, fail_open, fail_freq, fail_rate, fail_read, unplug };

struct DongleChoice {
  DongleKind kind = DongleKind::librtlsdr;
  SimFailure failure = SimFailure::none;
  int64_t failure_read = 0;  // fail_read, unplug: the first read (counted from 1) affected
  int64_t replug_look = 0;   // unplug: listed again at this look for it after (0: never)
  std::string host{};        // tcp: the rtl_tcp server's name or address
  uint16_t port = 0;         // tcp: its port
  std::string path{};        // file: the recording
  uint32_t file_rate = 0;    // file: ,rate=N (0: not given)
  uint32_t file_frequency = 0;  // file: ,freq=HZ (0: not given)
  bool file_loop = false;       // file: ,loop
};

// Parses a value of RXIQ_DONGLE: null or empty -> librtlsdr; "sim", "sim:none",
// "sim:fail-open", "sim:fail-freq", "sim:fail-rate", "sim:fail-read=N", "sim:unplug=N",
// "sim:unplug=N,replug=K";
// "tcp:HOST" (port 1234), "tcp:HOST:PORT", with an IPv6 address in brackets;
// "file:PATH[,rate=N][,freq=HZ][,loop]" (options in any order after the path).
// Returns false for anything else (choice is then left as librtlsdr).
bool parse_dongle_choice(const char* text, DongleChoice& choice);
