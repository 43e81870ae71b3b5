#include "simulator/rtl_tcp_server.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/tcp_socket.h"
#include "tuner/rtl_tcp.h"
#include "simulator/sim_dongle.h"
#include "tuner/file_dongle.h"
#include "tuner/tuner_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often waits look at the stop flag, and how long a client may refuse to take data
// before it is dropped.
constexpr int wait_slice_ms = 100;
constexpr auto client_stall_limit = std::chrono::seconds(5);
constexpr int command_reads_per_block = 1000;  // reads of the command stream between blocks

// Until the client says otherwise: the receiver's default tuning, automatic gain, no
// correction and the simulator's own sample rate.
constexpr uint32_t start_frequency = initial_frequency;

void say(const RtlTcpServer& server, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(const RtlTcpServer& server, const char* format, ...) {
  if (server.messages == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(server.messages, format, args);
  va_end(args);
  std::fflush(server.messages);
}

// Binds and listens on the first of the address's forms that accepts; no_tcp_socket with
// the reason.
TcpSocket listen_on(RtlTcpServer& server, std::string& reason) {
  std::vector<TcpAddress> addresses;
  if (!tcp_resolve(server.address, server.port, addresses, reason)) return no_tcp_socket;
  for (const TcpAddress& address : addresses) {
    TcpSocket listener = no_tcp_socket;
    const TcpResult r = tcp_listen(address, 1, listener);
    if (r.step == TcpStep::done) return listener;
    reason = tcp_error_text(r.error);
  }
  return no_tcp_socket;
}

// Sends all n bytes unless the server stops or the client leaves or takes nothing for
// the stall limit.
bool send_all(const RtlTcpServer& server, TcpSocket client, const uint8_t* data, size_t n) {
  auto deadline = Clock::now() + client_stall_limit;
  size_t sent = 0;
  while (sent < n) {
    if (server.stop.load()) return false;
    const TcpResult r = tcp_send(client, data + sent, n - sent);
    if (r.step == TcpStep::done) {
      sent += r.bytes;
      deadline = Clock::now() + client_stall_limit;
      continue;
    }
    if (r.step != TcpStep::would_block) return false;
    if (Clock::now() >= deadline) return false;
    tcp_wait(client, true, wait_slice_ms);
  }
  return true;
}

void apply_command(DongleApi& sim, Dongle* dev, uint8_t command, uint32_t parameter) {
  const int value = static_cast<int>(parameter);
  switch (command) {
    case rtl_tcp_set_center_freq: sim.set_center_freq(dev, parameter); break;
    case rtl_tcp_set_sample_rate: sim.set_sample_rate(dev, parameter); break;
    case rtl_tcp_set_gain_mode: sim.set_tuner_gain_mode(dev, value); break;
    case rtl_tcp_set_gain: sim.set_tuner_gain(dev, value); break;
    case rtl_tcp_set_freq_correction: sim.set_freq_correction(dev, value); break;
    case rtl_tcp_set_agc_mode: sim.set_agc_mode(dev, value); break;
    case rtl_tcp_set_gain_by_index:
      if (parameter < sim_r820t_gains.size()) sim.set_tuner_gain(dev, sim_r820t_gains[parameter]);
      break;
    case rtl_tcp_set_direct_sampling: sim.set_direct_sampling(dev, value); break;
    case rtl_tcp_set_offset_tuning: sim.set_offset_tuning(dev, value); break;
    case rtl_tcp_set_bias_tee: sim.set_bias_tee(dev, value); break;
    default: break;  // IF gain, test mode, crystals: no such parts here
  }
}

// Takes the commands that have arrived, whole ones applied, a partial one kept for later;
// a bounded number per block, so that a flood of them cannot stop the stream. False when
// the client has left.
bool take_commands(TcpSocket client, DongleApi& sim, Dongle* dev,
                   uint8_t (&pending)[rtl_tcp_command_bytes], size_t& have) {
  for (int taken = 0; taken < command_reads_per_block; ++taken) {
    const TcpResult r = tcp_receive(client, pending + have, sizeof pending - have);
    if (r.step == TcpStep::would_block) return true;
    if (r.step != TcpStep::done) return false;
    have += r.bytes;
    if (have == sizeof pending) {
      apply_command(sim, dev, pending[0], get_be32(pending + 1));
      have = 0;
    }
  }
  return true;
}

enum class Served { left, dongle_gone };

std::unique_ptr<DongleApi> make_dongle(const RtlTcpServer& server) {
  if (server.choice.kind == DongleKind::file) {
    return std::make_unique<FileDongle>(server.choice, server.paced);
  }
  return std::make_unique<SimDongle>(server.choice, server.paced);
}

Served serve_client(RtlTcpServer& server, TcpSocket client) {
  const std::unique_ptr<DongleApi> dongle = make_dongle(server);
  DongleApi& sim = *dongle;
  Dongle* dev = nullptr;
  if (sim.open(&dev, 0) < 0) return Served::dongle_gone;
  sim.set_tuner_gain_mode(dev, 0);
  sim.set_center_freq(dev, start_frequency);
  // A recording plays at its own rate until the client asks for another (which it refuses).
  if (server.choice.kind == DongleKind::file) {
    sim.set_sample_rate(dev, static_cast<FileDongle&>(sim).recording.rate);
  }
  sim.reset_buffer(dev);

  uint8_t header[rtl_tcp_header_bytes];
  rtl_tcp_encode_header(RtlTcpHeader{{'R', 'T', 'L', '0'},
                                     rtl_tcp_tuner_r820t,
                                     static_cast<uint32_t>(sim_r820t_gains.size())},
                        header);
  if (!send_all(server, client, header, sizeof header)) return Served::left;

  std::vector<uint8_t> block(read_block_bytes);
  uint8_t pending[rtl_tcp_command_bytes];
  size_t have = 0;
  int n_read = 0;
  while (!server.stop.load()) {
    if (!take_commands(client, sim, dev, pending, have)) return Served::left;
    const int result = sim.read_sync(dev, block.data(), read_block_bytes, &n_read);
    if (result == dongle_gone_result) return Served::dongle_gone;
    if (result < 0) continue;  // a failed read has nothing to send
    if (!send_all(server, client, block.data(), block.size())) return Served::left;
  }
  return Served::left;
}

bool parse_listen_address(const char* text, std::string& address, uint16_t& port) {
  const bool port_only = *text != '\0' && std::strspn(text, "0123456789") == std::strlen(text);
  if (port_only) {
    std::string with_address = std::string(rtl_tcp_server_default_address) + ":" + text;
    return parse_host_port(with_address.c_str(), rtl_tcp_default_port, true, address, port);
  }
  return parse_host_port(text, rtl_tcp_default_port, true, address, port);
}

}  // namespace

int rtl_tcp_serve(RtlTcpServer& server) {
  if (server.choice.failure == SimFailure::no_device) {
    say(server, "No supported devices found\n");
    return 1;
  }
  if (server.choice.failure == SimFailure::fail_open) {
    say(server, "Failed to open device #0\n");
    return 1;
  }
  if (server.choice.kind == DongleKind::file) {
    // Checked before listening, so that a recording that cannot play ends the server at once.
    RecordingInfo info;
    std::string error;
    if (!open_recording(server.choice.path, {server.choice.file_rate, server.choice.file_frequency},
                        info, error)) {
      say(server, "rxiq-sim: %s\n", error.c_str());
      return 1;
    }
  }
  std::string reason;
  const TcpSocket listener = listen_on(server, reason);
  if (listener == no_tcp_socket) {
    say(server, "rxiq-sim: cannot listen on %s: %s\n",
        host_port_text(server.address, server.port).c_str(), reason.c_str());
    return 1;
  }
  server.bound_port.store(tcp_local_port(listener));
  say(server, "rxiq-sim: rtl_tcp server on %s, one client at a time\n",
      host_port_text(server.address, static_cast<uint16_t>(server.bound_port.load())).c_str());

  int status = 0;
  while (!server.stop.load()) {
    if (!tcp_wait(listener, false, wait_slice_ms)) continue;
    TcpSocket client = no_tcp_socket;
    std::string peer_host;
    uint16_t peer_port = 0;
    if (tcp_accept(listener, client, peer_host, peer_port).step != TcpStep::done) continue;
    server.clients.fetch_add(1);
    const std::string who = host_port_text(peer_host, peer_port);
    say(server, "rxiq-sim: client %s connected\n", who.c_str());
    tcp_no_delay(client);
    const Served served = serve_client(server, client);
    tcp_close(client);
    if (served == Served::dongle_gone && server.choice.kind == DongleKind::file) {
      say(server, "rxiq-sim: the recording has ended; client %s dropped\n", who.c_str());
      status = 1;
      break;
    }
    if (served == Served::dongle_gone) {
      say(server, "rxiq-sim: the simulated dongle is gone (unplugged); client %s dropped\n",
          who.c_str());
      status = 1;
      break;
    }
    say(server, "rxiq-sim: client %s left\n", who.c_str());
  }
  tcp_close(listener);
  return status;
}

bool rtl_tcp_server_asked(int argc, char** argv) {
  return argc > 1 && std::strcmp(argv[1], "--tcp") == 0;
}

int rtl_tcp_server_main(int argc, char** argv) {
  RtlTcpServer server;
  // The failure modes of the simulator carry over; any other choice serves the plain one.
  DongleChoice choice;
  if (parse_dongle_choice(std::getenv("RXIQ_DONGLE"), choice) && choice.kind == DongleKind::sim) {
    server.choice = choice;
  }
  bool good = true, have_address = false;
  for (int a = 2; a < argc && good; ++a) {
    if (std::strcmp(argv[a], "--file") == 0) {
      good = a + 1 < argc &&
             parse_dongle_choice((std::string("file:") + argv[a + 1]).c_str(), server.choice);
      ++a;
    } else if (!have_address) {
      good = parse_listen_address(argv[a], server.address, server.port);
      have_address = true;
    } else {
      good = false;
    }
  }
  if (!good) {
    std::fprintf(stderr,
                 "usage: rxiq-sim --tcp [ADDRESS:]PORT [--file PATH[,rate=N][,freq=HZ][,loop]]"
                 "   (default %s:%u)\n",
                 rtl_tcp_server_default_address, static_cast<unsigned>(rtl_tcp_default_port));
    return 2;
  }
  return rtl_tcp_serve(server);
}
