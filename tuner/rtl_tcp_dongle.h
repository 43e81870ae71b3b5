// A dongle on another machine, served by rtl_tcp (RXIQ_DONGLE=tcp:HOST:PORT).
//
// Each dongle call becomes an rtl_tcp command; reads assemble blocks from the stream.
// The device listing shows one device: manufacturer "rtl_tcp", product HOST:PORT and the
// tuner's name as serial number, so the connection is made when the dongles are counted.
// The protocol carries nothing back but the header, so calls that read a setting return
// the last value set (an error before any), and calls with no command succeed without
// effect. A server that goes quiet for stall_limit, or closes the connection, reads as a
// dongle that has left the bus.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "platform/tcp_socket.h"
#include "tuner/dongle.h"

inline constexpr auto rtl_tcp_stall_limit = std::chrono::milliseconds(5000);

// How often a wait on the network looks at the running flag.
inline constexpr auto rtl_tcp_wait_slice = std::chrono::milliseconds(100);

inline constexpr int rtl_tcp_failed_result = -1;  // what a refused call returns

struct RtlTcpDongle final : DongleApi {
  explicit RtlTcpDongle(const DongleChoice& choice);
  ~RtlTcpDongle() override;
  RtlTcpDongle(const RtlTcpDongle&) = delete;
  RtlTcpDongle& operator=(const RtlTcpDongle&) = delete;

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
  bool across_network() const override { return true; }
  void quiet_failures(bool on) override { quiet = on; }
  void watch_running(const std::atomic<uint8_t>* running) override;

  std::string host;
  uint16_t port;
  std::string where;  // HOST:PORT as shown

  // How long a connect, the header or a read may wait without a byte moving.
  std::chrono::milliseconds stall_limit = rtl_tcp_stall_limit;

  // Calls come from the tuner thread only; the running flag is the one thing another
  // thread changes.
  const std::atomic<uint8_t>* running = nullptr;

  enum class Link { untried, connected, failed };
  Link link = Link::untried;
  std::string failure;  // why the connection failed; empty when shutdown cut it short
  TcpSocket socket = no_tcp_socket;
  uint32_t tuner_type = 0;
  uint32_t gain_count = 0;  // as the header gave it
  bool is_open = false;
  bool gone = false;  // the stream ended or stalled; every later read fails at once
  bool quiet = false;  // failed opens go unreported

  // The last values set, for the calls that read them back.
  std::optional<int> tuner_gain;
  std::optional<int> offset_tuning;
  std::optional<int> freq_correction;

  char handle_record = 0;  // what the device handle points at
};
