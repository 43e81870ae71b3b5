#include "tuner/rtl_tcp_server.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tuner/rtl_tcp.h"
#include "tuner/sim_dongle.h"
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
constexpr uint32_t start_frequency = 145725000;

void say(const RtlTcpServer& server, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(const RtlTcpServer& server, const char* format, ...) {
  if (server.messages == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(server.messages, format, args);
  va_end(args);
  std::fflush(server.messages);
}

// Binds and listens on the first of the address's forms that accepts; -1 with the reason.
int listen_on(RtlTcpServer& server, std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(server.address.c_str(), std::to_string(server.port).c_str(),
                                     &hints, &found);
  if (resolved != 0) {
    reason = resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
      reason = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

int port_of(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string peer_text(const sockaddr_storage& address, socklen_t size) {
  char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "?";
  ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), size, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  return host_port_text(host, static_cast<uint16_t>(std::atoi(service)));
}

// Sends all n bytes unless the server stops or the client leaves or takes nothing for
// the stall limit.
bool send_all(const RtlTcpServer& server, int fd, const uint8_t* data, size_t n) {
  auto deadline = Clock::now() + client_stall_limit;
  size_t sent = 0;
  while (sent < n) {
    if (server.stop.load()) return false;
    const ssize_t r = ::send(fd, data + sent, n - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      deadline = Clock::now() + client_stall_limit;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (Clock::now() >= deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, wait_slice_ms);
  }
  return true;
}

void apply_command(SimDongle& sim, Dongle* dev, uint8_t command, uint32_t parameter) {
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
    default: break;  // IF gain, test mode, direct sampling and the rest: no such parts here
  }
}

// Takes the commands that have arrived, whole ones applied, a partial one kept for later;
// a bounded number per block, so that a flood of them cannot stop the stream. False when
// the client has left.
bool take_commands(int fd, SimDongle& sim, Dongle* dev, uint8_t (&pending)[rtl_tcp_command_bytes],
                   size_t& have) {
  for (int taken = 0; taken < command_reads_per_block; ++taken) {
    const ssize_t r = ::recv(fd, pending + have, sizeof pending - have, MSG_DONTWAIT);
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    have += static_cast<size_t>(r);
    if (have == sizeof pending) {
      apply_command(sim, dev, pending[0], get_be32(pending + 1));
      have = 0;
    }
  }
  return true;
}

enum class Served { left, dongle_gone };

Served serve_client(RtlTcpServer& server, int fd) {
  SimDongle sim(server.choice, server.paced);
  Dongle* dev = nullptr;
  sim.open(&dev, 0);
  sim.set_tuner_gain_mode(dev, 0);
  sim.set_center_freq(dev, start_frequency);
  sim.reset_buffer(dev);

  uint8_t header[rtl_tcp_header_bytes];
  rtl_tcp_encode_header(RtlTcpHeader{{'R', 'T', 'L', '0'},
                                     rtl_tcp_tuner_r820t,
                                     static_cast<uint32_t>(sim_r820t_gains.size())},
                        header);
  if (!send_all(server, fd, header, sizeof header)) return Served::left;

  std::vector<uint8_t> block(read_block_bytes);
  uint8_t pending[rtl_tcp_command_bytes];
  size_t have = 0;
  int n_read = 0;
  while (!server.stop.load()) {
    if (!take_commands(fd, sim, dev, pending, have)) return Served::left;
    const int result = sim.read_sync(dev, block.data(), read_block_bytes, &n_read);
    if (result == dongle_gone_result) return Served::dongle_gone;
    if (result < 0) continue;  // a failed read has nothing to send
    if (!send_all(server, fd, block.data(), block.size())) return Served::left;
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
  std::string reason;
  const int listener = listen_on(server, reason);
  if (listener < 0) {
    say(server, "rxiq-sim: cannot listen on %s: %s\n",
        host_port_text(server.address, server.port).c_str(), reason.c_str());
    return 1;
  }
  server.bound_port.store(port_of(listener));
  say(server, "rxiq-sim: rtl_tcp server on %s, one client at a time\n",
      host_port_text(server.address, static_cast<uint16_t>(server.bound_port.load())).c_str());

  int status = 0;
  while (!server.stop.load()) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, wait_slice_ms) <= 0) continue;
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) continue;
    server.clients.fetch_add(1);
    const std::string who = peer_text(peer, size);
    say(server, "rxiq-sim: client %s connected\n", who.c_str());
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const Served served = serve_client(server, fd);
    ::close(fd);
    if (served == Served::dongle_gone) {
      say(server, "rxiq-sim: the simulated dongle is gone (unplugged); client %s dropped\n",
          who.c_str());
      status = 1;
      break;
    }
    say(server, "rxiq-sim: client %s left\n", who.c_str());
  }
  ::close(listener);
  return status;
}

bool rtl_tcp_server_asked(int argc, char** argv) {
  return argc > 1 && std::strcmp(argv[1], "--tcp") == 0;
}

int rtl_tcp_server_main(int argc, char** argv) {
  RtlTcpServer server;
  if (argc > 3 || (argc == 3 && !parse_listen_address(argv[2], server.address, server.port))) {
    std::fprintf(stderr, "usage: rxiq-sim --tcp [ADDRESS:]PORT   (default 127.0.0.1:1234)\n");
    return 2;
  }
  // The failure modes of the simulator carry over; any other choice serves the plain one.
  DongleChoice choice;
  if (parse_dongle_choice(std::getenv("RXIQ_DONGLE"), choice) && choice.kind == DongleKind::sim) {
    server.choice = choice;
  }
  return rtl_tcp_serve(server);
}
