#include "platform/tcp_address_list.h"
#include "platform/tcp_socket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int fd_of(TcpSocket socket) { return static_cast<int>(socket); }

TcpResult step_of(ssize_t r) {
  if (r > 0) return TcpResult{TcpStep::done, static_cast<size_t>(r), 0};
  if (r == 0) return TcpResult{TcpStep::closed};
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return TcpResult{TcpStep::would_block};
  return TcpResult{TcpStep::failed, 0, errno};
}

}  // namespace

bool tcp_resolve(const std::string& host, uint16_t port, std::vector<TcpAddress>& addresses,
                 std::string& reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    reason = resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved);
    return false;
  }
  tcp_addresses_from(found, addresses);
  ::freeaddrinfo(found);
  return true;
}

TcpResult tcp_connect_start(const TcpAddress& address, TcpSocket& socket) {
  const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return TcpResult{TcpStep::failed, 0, errno};
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.bytes),
                static_cast<socklen_t>(address.length)) == 0) {
    socket = fd;
    return TcpResult{TcpStep::done};
  }
  const int error = errno;
  if (error == EINPROGRESS) {
    socket = fd;
    return TcpResult{TcpStep::would_block};
  }
  ::close(fd);
  return TcpResult{TcpStep::failed, 0, error};
}

int tcp_connect_error(TcpSocket socket) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd_of(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

TcpResult tcp_listen(const TcpAddress& address, int backlog, TcpSocket& socket) {
  const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return TcpResult{TcpStep::failed, 0, errno};
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(address.bytes),
             static_cast<socklen_t>(address.length)) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    return TcpResult{TcpStep::failed, 0, error};
  }
  socket = fd;
  return TcpResult{TcpStep::done};
}

int tcp_local_port(TcpSocket socket) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

TcpResult tcp_accept(TcpSocket listener, TcpSocket& client, std::string& peer_host,
                     uint16_t& peer_port) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  const int fd = ::accept4(fd_of(listener), reinterpret_cast<sockaddr*>(&peer), &size,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
      return TcpResult{TcpStep::would_block};
    }
    return TcpResult{TcpStep::failed, 0, errno};
  }
  char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "0";
  ::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  peer_host = host;
  peer_port = static_cast<uint16_t>(std::atoi(service));
  client = fd;
  return TcpResult{TcpStep::done};
}

void tcp_no_delay(TcpSocket socket) {
  const int on = 1;
  ::setsockopt(fd_of(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

TcpResult tcp_receive(TcpSocket socket, void* bytes, size_t length) {
  return step_of(::recv(fd_of(socket), bytes, length, MSG_DONTWAIT));
}

TcpResult tcp_send(TcpSocket socket, const void* bytes, size_t length) {
  const ssize_t r = ::send(fd_of(socket), bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  // Nothing sent is not the peer closing: only a receive can tell that.
  if (r == 0) return TcpResult{TcpStep::would_block};
  return step_of(r);
}

bool tcp_wait(TcpSocket socket, bool for_writing, int ms) {
  pollfd p{fd_of(socket), static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  const int ready = ::poll(&p, 1, ms);
  return ready > 0 || (ready < 0 && errno != EINTR);
}

int tcp_wait_any(const TcpSocket* sockets, bool* readable, int count, int ms) {
  std::vector<pollfd> polled(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) polled[static_cast<size_t>(k)] = {fd_of(sockets[k]), POLLIN, 0};
  const int ready = ::poll(polled.data(), static_cast<nfds_t>(count), ms);
  for (int k = 0; k < count; ++k) readable[k] = ready > 0 && polled[static_cast<size_t>(k)].revents != 0;
  return ready > 0 ? ready : 0;
}

void tcp_close(TcpSocket socket) {
  if (socket != no_tcp_socket) ::close(fd_of(socket));
}

std::string tcp_error_text(int error) { return std::strerror(error); }

int tcp_timed_out_error() { return ETIMEDOUT; }
