// The network dongle in the Windows build: its sockets are POSIX ones, not yet ported to
// Winsock, so a tcp: source says so once and then behaves as a machine without dongles.
#include "core/print_console.h"
#include "tuner/rtl_tcp.h"
#include "tuner/rtl_tcp_dongle.h"

RtlTcpDongle::RtlTcpDongle(const DongleChoice& choice)
    : host(choice.host), port(choice.port), where(host_port_text(choice.host, choice.port)) {}

RtlTcpDongle::~RtlTcpDongle() = default;

void RtlTcpDongle::watch_running(const std::atomic<uint8_t>* flag) { running = flag; }

uint32_t RtlTcpDongle::get_device_count() {
  if (link == Link::untried) {
    print_console("rtl_tcp %s: network dongles are not available in the Windows build yet\n",
                  where.c_str());
    link = Link::failed;
  }
  return 0;
}

const char* RtlTcpDongle::get_device_name(uint32_t) { return ""; }
int RtlTcpDongle::get_device_usb_strings(uint32_t, char*, char*, char*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::open(Dongle**, uint32_t) { return rtl_tcp_failed_result; }
int RtlTcpDongle::close(Dongle*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_tuner_gain_mode(Dongle*, int) { return rtl_tcp_failed_result; }
int RtlTcpDongle::get_tuner_gains(Dongle*, int*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_tuner_gain(Dongle*, int) { return rtl_tcp_failed_result; }
int RtlTcpDongle::get_tuner_gain(Dongle*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_agc_mode(Dongle*, int) { return rtl_tcp_failed_result; }
int RtlTcpDongle::get_offset_tuning(Dongle*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_center_freq(Dongle*, uint32_t) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_sample_rate(Dongle*, uint32_t) { return rtl_tcp_failed_result; }
int RtlTcpDongle::set_freq_correction(Dongle*, int) { return rtl_tcp_failed_result; }
int RtlTcpDongle::get_freq_correction(Dongle*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::reset_buffer(Dongle*) { return rtl_tcp_failed_result; }
int RtlTcpDongle::read_sync(Dongle*, void*, int, int* n_read) {
  if (n_read) *n_read = 0;
  return rtl_tcp_failed_result;
}
