// Loopback sockets for network tests: a listener on a free port of 127.0.0.1, a client
// connection, and reads and writes bounded in time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tuner/dongle.h"

// A socket bound to a free loopback port. Listening unless told otherwise: a bound
// socket that does not listen refuses every connection made to its port.
class LoopbackListener {
 public:
  explicit LoopbackListener(bool listening = true, int backlog = 4) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0) return;
    if (listening && ::listen(fd_, backlog) != 0) return;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

  // True once a connection waits to be accepted (it is not accepted).
  bool pending(std::chrono::milliseconds limit) const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
  }

  // The next connection, or -1 if none comes within limit.
  int accept_one(std::chrono::milliseconds limit) const {
    if (!pending(limit)) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A blocking connection to a loopback port, or -1.
inline int loopback_connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Reads exactly n bytes; false when the peer closes first or nothing arrives for limit.
inline bool read_exactly(int fd, void* out, size_t n, std::chrono::milliseconds limit) {
  auto* bytes = static_cast<uint8_t*>(out);
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    ssize_t r = ::recv(fd, bytes + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

inline bool write_all(int fd, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < n) {
    ssize_t r = ::send(fd, bytes + sent, n - sent, MSG_NOSIGNAL);
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

// The network dongle pointed at a loopback port.
inline DongleChoice tcp_choice(uint16_t port) {
  DongleChoice c;
  c.kind = DongleKind::tcp;
  c.host = "127.0.0.1";
  c.port = port;
  return c;
}
