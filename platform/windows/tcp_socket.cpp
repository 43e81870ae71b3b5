// Winsock sockets for the network dongle. Winsock is started once, at first use, and left
// running for the life of the process.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/tcp_address_list.h"
#include "platform/tcp_socket.h"

namespace {

bool winsock_started() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

SOCKET socket_of(TcpSocket socket) { return static_cast<SOCKET>(socket); }

TcpResult step_of(int r) {
  if (r > 0) return TcpResult{TcpStep::done, static_cast<size_t>(r), 0};
  if (r == 0) return TcpResult{TcpStep::closed};
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK || error == WSAEINTR) return TcpResult{TcpStep::would_block};
  return TcpResult{TcpStep::failed, 0, error};
}

// Longest piece handed to one call: the calls take an int.
int piece(size_t length) { return static_cast<int>(length > 1u << 30 ? 1u << 30 : length); }

}  // namespace

bool tcp_resolve(const std::string& host, uint16_t port, std::vector<TcpAddress>& addresses,
                 std::string& reason) {
  if (!winsock_started()) {
    reason = tcp_error_text(WSASYSNOTREADY);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    reason = tcp_error_text(resolved);
    return false;
  }
  tcp_addresses_from(found, addresses);
  freeaddrinfo(found);
  return true;
}

TcpResult tcp_connect_start(const TcpAddress& address, TcpSocket& socket) {
  const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return TcpResult{TcpStep::failed, 0, WSAGetLastError()};
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  if (connect(s, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) {
    socket = static_cast<TcpSocket>(s);
    return TcpResult{TcpStep::done};
  }
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    socket = static_cast<TcpSocket>(s);
    return TcpResult{TcpStep::would_block};
  }
  closesocket(s);
  return TcpResult{TcpStep::failed, 0, error};
}

int tcp_connect_error(TcpSocket socket) {
  int error = 0;
  int size = sizeof error;
  if (getsockopt(socket_of(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return WSAGetLastError();
  }
  return error;
}

TcpResult tcp_listen(const TcpAddress& address, int backlog, TcpSocket& socket) {
  if (!winsock_started()) return TcpResult{TcpStep::failed, 0, WSASYSNOTREADY};
  const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return TcpResult{TcpStep::failed, 0, WSAGetLastError()};
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
      bind(s, reinterpret_cast<const sockaddr*>(address.bytes), address.length) != 0 ||
      listen(s, backlog) != 0) {
    const int error = WSAGetLastError();
    closesocket(s);
    return TcpResult{TcpStep::failed, 0, error};
  }
  socket = static_cast<TcpSocket>(s);
  return TcpResult{TcpStep::done};
}

int tcp_local_port(TcpSocket socket) {
  sockaddr_storage address{};
  int size = sizeof address;
  if (getsockname(socket_of(socket), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

TcpResult tcp_accept(TcpSocket listener, TcpSocket& client, std::string& peer_host,
                     uint16_t& peer_port) {
  sockaddr_storage peer{};
  int size = sizeof peer;
  const SOCKET s = accept(socket_of(listener), reinterpret_cast<sockaddr*>(&peer), &size);
  if (s == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET) {
      return TcpResult{TcpStep::would_block};
    }
    return TcpResult{TcpStep::failed, 0, error};
  }
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "0";
  getnameinfo(reinterpret_cast<const sockaddr*>(&peer), size, host, sizeof host, service,
              sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  peer_host = host;
  peer_port = static_cast<uint16_t>(std::atoi(service));
  client = static_cast<TcpSocket>(s);
  return TcpResult{TcpStep::done};
}

void tcp_no_delay(TcpSocket socket) {
  const BOOL on = TRUE;
  setsockopt(socket_of(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

TcpResult tcp_receive(TcpSocket socket, void* bytes, size_t length) {
  return step_of(recv(socket_of(socket), static_cast<char*>(bytes), piece(length), 0));
}

TcpResult tcp_send(TcpSocket socket, const void* bytes, size_t length) {
  const int r = send(socket_of(socket), static_cast<const char*>(bytes), piece(length), 0);
  if (r == 0) return TcpResult{TcpStep::would_block};
  return step_of(r);
}

bool tcp_wait(TcpSocket socket, bool for_writing, int ms) {
  WSAPOLLFD p{};
  p.fd = socket_of(socket);
  p.events = for_writing ? POLLWRNORM : POLLRDNORM;
  const int ready = WSAPoll(&p, 1, ms);
  // A connect that failed shows up as an error, not as writable.
  return ready != 0;
}

int tcp_wait_any(const TcpSocket* sockets, bool* readable, int count, int ms) {
  std::vector<WSAPOLLFD> polled(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    polled[static_cast<size_t>(k)].fd = socket_of(sockets[k]);
    polled[static_cast<size_t>(k)].events = POLLRDNORM;
  }
  const int ready = count > 0 ? WSAPoll(polled.data(), static_cast<ULONG>(count), ms) : 0;
  if (count == 0) Sleep(static_cast<DWORD>(ms));
  for (int k = 0; k < count; ++k) readable[k] = ready > 0 && polled[static_cast<size_t>(k)].revents != 0;
  return ready > 0 ? ready : 0;
}

void tcp_close(TcpSocket socket) {
  if (socket != no_tcp_socket) closesocket(socket_of(socket));
}

std::string tcp_error_text(int error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(error), 0,
                                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
      out.pop_back();
    }
  }
  if (text) LocalFree(text);
  return out.empty() ? "error " + std::to_string(error) : out;
}

int tcp_timed_out_error() { return WSAETIMEDOUT; }
