#include "tuner/rtl_tcp_dongle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/print_console.h"
#include "platform/tcp_socket.h"
#include "tuner/rtl_tcp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* manufacturer_text = "rtl_tcp";

bool stopping(const RtlTcpDongle& d) { return d.running != nullptr && d.running->load() == 0; }

bool holds(const RtlTcpDongle& d, Dongle* dev) {
  return d.is_open && dev == reinterpret_cast<const Dongle*>(&d.handle_record);
}

enum class Wait { ready, timed_out, stopped };

// Waits until the socket is ready, the deadline passes or the running flag is cleared,
// looking at the flag at least every wait slice. An error or a hang-up counts as ready:
// the call that follows reports it.
Wait wait_for(const RtlTcpDongle& d, bool for_writing, Clock::time_point deadline) {
  for (;;) {
    if (stopping(d)) return Wait::stopped;
    const auto now = Clock::now();
    if (now >= deadline) return Wait::timed_out;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (tcp_wait(d.socket, for_writing, static_cast<int>(std::min(left, rtl_tcp_wait_slice).count()))) {
      return Wait::ready;
    }
  }
}

enum class Moved { all, closed, stalled, stopped, failed };

// Receives exactly n bytes. got counts what arrived, also when the stream ends early.
Moved receive(const RtlTcpDongle& d, uint8_t* out, size_t n, size_t& got, int& error) {
  auto deadline = Clock::now() + d.stall_limit;
  while (got < n) {
    const TcpResult r = tcp_receive(d.socket, out + got, n - got);
    if (r.step == TcpStep::done) {
      got += r.bytes;
      deadline = Clock::now() + d.stall_limit;
      continue;
    }
    if (r.step == TcpStep::closed) return Moved::closed;
    if (r.step == TcpStep::failed) {
      error = r.error;
      return Moved::failed;
    }
    const Wait w = wait_for(d, false, deadline);
    if (w == Wait::timed_out) return Moved::stalled;
    if (w == Wait::stopped) return Moved::stopped;
  }
  return Moved::all;
}

// Sends all n bytes.
bool send_all(const RtlTcpDongle& d, const uint8_t* data, size_t n) {
  auto deadline = Clock::now() + d.stall_limit;
  size_t sent = 0;
  while (sent < n) {
    const TcpResult r = tcp_send(d.socket, data + sent, n - sent);
    if (r.step == TcpStep::done) {
      sent += r.bytes;
      deadline = Clock::now() + d.stall_limit;
      continue;
    }
    if (r.step != TcpStep::would_block) return false;
    if (wait_for(d, true, deadline) != Wait::ready) return false;
  }
  return true;
}

void drop_socket(RtlTcpDongle& d) {
  tcp_close(d.socket);
  d.socket = no_tcp_socket;
}

void fail_link(RtlTcpDongle& d, std::string why) {
  drop_socket(d);
  d.link = RtlTcpDongle::Link::failed;
  d.failure = stopping(d) ? std::string() : std::move(why);
}

// Connects to the first of the host's addresses that answers. Returns the socket, or
// no_tcp_socket with the reason of the last failure (empty when shutdown cut the wait
// short).
TcpSocket connect_to(RtlTcpDongle& d, std::string& reason) {
  std::vector<TcpAddress> addresses;
  if (!tcp_resolve(d.host, d.port, addresses, reason)) return no_tcp_socket;
  TcpSocket connected = no_tcp_socket;
  for (size_t i = 0; i < addresses.size() && connected == no_tcp_socket && !stopping(d); ++i) {
    const TcpResult started = tcp_connect_start(addresses[i], d.socket);
    int error = started.step == TcpStep::failed ? started.error : 0;
    if (started.step == TcpStep::would_block) {
      const Wait w = wait_for(d, true, Clock::now() + d.stall_limit);
      if (w == Wait::timed_out) {
        error = tcp_timed_out_error();
      } else if (w == Wait::ready) {
        error = tcp_connect_error(d.socket);
      }
    }
    if (started.step != TcpStep::failed && error == 0 && !stopping(d)) {
      connected = d.socket;
      d.socket = no_tcp_socket;
    } else {
      if (error != 0) reason = tcp_error_text(error);
      drop_socket(d);
    }
  }
  return connected;
}

// Connects and reads the header; on failure the link is marked failed with the reason.
void make_link(RtlTcpDongle& d) {
  std::string reason;
  const TcpSocket socket = connect_to(d, reason);
  if (socket == no_tcp_socket) {
    fail_link(d, reason);
    return;
  }
  d.socket = socket;
  // Commands are 5 bytes each and should leave at once.
  tcp_no_delay(d.socket);

  uint8_t bytes[rtl_tcp_header_bytes];
  size_t got = 0;
  int error = 0;
  switch (receive(d, bytes, sizeof bytes, got, error)) {
    case Moved::all: break;
    case Moved::closed: return fail_link(d, "connection closed before the header");
    case Moved::stalled: return fail_link(d, "no header: " + tcp_error_text(tcp_timed_out_error()));
    case Moved::stopped: return fail_link(d, "");
    case Moved::failed: return fail_link(d, "no header: " + tcp_error_text(error));
  }
  const RtlTcpHeader header = rtl_tcp_decode_header(bytes);
  if (std::memcmp(header.magic, rtl_tcp_magic, sizeof rtl_tcp_magic) != 0) {
    return fail_link(d, "not an rtl_tcp server (no RTL0 header)");
  }
  if (header.gain_count > static_cast<uint32_t>(max_gains)) {
    return fail_link(d, "the header lists " + std::to_string(header.gain_count) +
                            " gains, more than " + std::to_string(max_gains));
  }
  d.tuner_type = header.tuner_type;
  d.gain_count = header.gain_count;
  d.link = RtlTcpDongle::Link::connected;
  d.failure.clear();
}

int send_command(RtlTcpDongle& d, Dongle* dev, uint8_t command, uint32_t parameter) {
  if (!holds(d, dev) || d.gone) return rtl_tcp_failed_result;
  uint8_t bytes[rtl_tcp_command_bytes];
  rtl_tcp_encode_command(command, parameter, bytes);
  return send_all(d, bytes, sizeof bytes) ? 0 : rtl_tcp_failed_result;
}

void copy_string(char* target, const char* text) {
  if (target) std::snprintf(target, usb_string_size, "%s", text);
}

}  // namespace

RtlTcpDongle::RtlTcpDongle(const DongleChoice& choice)
    : host(choice.host), port(choice.port), where(host_port_text(choice.host, choice.port)) {}

RtlTcpDongle::~RtlTcpDongle() { drop_socket(*this); }

void RtlTcpDongle::watch_running(const std::atomic<uint8_t>* flag) { running = flag; }

uint32_t RtlTcpDongle::get_device_count() {
  // The listing names the tuner, which only the server's header tells.
  if (link == Link::untried) make_link(*this);
  return 1;
}

const char* RtlTcpDongle::get_device_name(uint32_t index) {
  return index == 0 ? where.c_str() : "";
}

int RtlTcpDongle::get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                         char* serial) {
  if (index != 0) return rtl_tcp_failed_result;
  copy_string(manufact, manufacturer_text);
  copy_string(product, where.c_str());
  copy_string(serial, link == Link::connected ? rtl_tcp_tuner_name(tuner_type) : "");
  return 0;
}

int RtlTcpDongle::open(Dongle** dev, uint32_t index) {
  if (index != 0 || is_open) return rtl_tcp_failed_result;
  if (link == Link::untried) make_link(*this);
  if (link != Link::connected) {
    if (!failure.empty() && !quiet) print_console("rtl_tcp %s: %s\n", where.c_str(), failure.c_str());
    link = Link::untried;  // a later open tries again
    return rtl_tcp_failed_result;
  }
  is_open = true;
  gone = false;
  *dev = reinterpret_cast<Dongle*>(&handle_record);
  return 0;
}

int RtlTcpDongle::close(Dongle* dev) {
  if (!holds(*this, dev)) return rtl_tcp_failed_result;
  drop_socket(*this);
  is_open = false;
  link = Link::untried;
  tuner_gain.reset();
  freq_correction.reset();
  return 0;
}

int RtlTcpDongle::set_tuner_gain_mode(Dongle* dev, int manual) {
  return send_command(*this, dev, rtl_tcp_set_gain_mode, static_cast<uint32_t>(manual));
}

int RtlTcpDongle::get_tuner_gains(Dongle* dev, int* gains) {
  if (!holds(*this, dev)) return rtl_tcp_failed_result;
  int count = 0;
  const int* listed = rtl_tcp_tuner_gains(tuner_type, &count);
  // A server whose count does not match the list of the tuner it names is not what we
  // think it is: better no gain steps than wrong ones.
  if (static_cast<uint32_t>(count) != gain_count) return 0;
  if (gains) std::copy_n(listed, count, gains);
  return count;
}

int RtlTcpDongle::set_tuner_gain(Dongle* dev, int gain) {
  const int result = send_command(*this, dev, rtl_tcp_set_gain, static_cast<uint32_t>(gain));
  if (result == 0) tuner_gain = gain;
  return result;
}

int RtlTcpDongle::get_tuner_gain(Dongle* dev) {
  if (!holds(*this, dev)) return rtl_tcp_failed_result;
  return tuner_gain.value_or(rtl_tcp_failed_result);
}

int RtlTcpDongle::set_agc_mode(Dongle* dev, int on) {
  return send_command(*this, dev, rtl_tcp_set_agc_mode, static_cast<uint32_t>(on));
}

int RtlTcpDongle::get_tuner_type(Dongle*) { return static_cast<int>(tuner_type); }

int RtlTcpDongle::get_offset_tuning(Dongle* dev) {
  // The server never tells; what was last asked for, if anything was.
  if (!holds(*this, dev)) return rtl_tcp_failed_result;
  return offset_tuning.value_or(rtl_tcp_failed_result);
}

int RtlTcpDongle::set_center_freq(Dongle* dev, uint32_t freq) {
  return send_command(*this, dev, rtl_tcp_set_center_freq, freq);
}

int RtlTcpDongle::set_sample_rate(Dongle* dev, uint32_t rate) {
  return send_command(*this, dev, rtl_tcp_set_sample_rate, rate);
}

int RtlTcpDongle::set_freq_correction(Dongle* dev, int ppm) {
  const int result =
      send_command(*this, dev, rtl_tcp_set_freq_correction, static_cast<uint32_t>(ppm));
  if (result == 0) freq_correction = ppm;
  return result;
}

int RtlTcpDongle::get_freq_correction(Dongle* dev) {
  if (!holds(*this, dev)) return rtl_tcp_failed_result;
  return freq_correction.value_or(rtl_tcp_failed_result);
}

int RtlTcpDongle::reset_buffer(Dongle* dev) {
  // The server empties its own buffers when a client connects; there is no command.
  return holds(*this, dev) ? 0 : rtl_tcp_failed_result;
}

int RtlTcpDongle::read_sync(Dongle* dev, void* buf, int len, int* n_read) {
  if (n_read) *n_read = 0;
  if (!holds(*this, dev) || len < 0) return rtl_tcp_failed_result;
  if (gone) return dongle_gone_result;
  size_t got = 0;
  int error = 0;
  const Moved moved = receive(*this, static_cast<uint8_t*>(buf), static_cast<size_t>(len), got, error);
  if (n_read) *n_read = static_cast<int>(got);
  switch (moved) {
    case Moved::all: return 0;
    // Shutdown: the block is not going to be used, so it need not be whole.
    case Moved::stopped: return 0;
    case Moved::closed:
    case Moved::stalled:
    case Moved::failed: break;
  }
  gone = true;
  return dongle_gone_result;
}

int RtlTcpDongle::set_bias_tee(Dongle* dev, int on) {
  return send_command(*this, dev, rtl_tcp_set_bias_tee, static_cast<uint32_t>(on));
}

int RtlTcpDongle::set_direct_sampling(Dongle* dev, int on) {
  return send_command(*this, dev, rtl_tcp_set_direct_sampling, static_cast<uint32_t>(on));
}

int RtlTcpDongle::set_offset_tuning(Dongle* dev, int on) {
  // The server's librtlsdr refuses it for an R82xx tuner, which the header names; saying
  // so here is what the receiver would hear from a dongle of its own.
  if (holds(*this, dev) && (tuner_type == rtl_tcp_tuner_r820t || tuner_type == rtl_tcp_tuner_r828d)) {
    return offset_tuning_refused_result;
  }
  const int result = send_command(*this, dev, rtl_tcp_set_offset_tuning, static_cast<uint32_t>(on));
  if (result == 0) offset_tuning = on != 0 ? 1 : 0;
  return result;
}

int RtlTcpDongle::get_index_by_serial(const char*) {
  // A server offers one dongle and no serial number to choose it by.
  return rtl_tcp_failed_result;
}
