// A client connection for tests of the receiver's servers, on the platform's sockets so
// that it runs on every system: connect to a loopback port, send, and read with a time
// limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"

class TcpClient {
 public:
  explicit TcpClient(uint16_t port, const std::string& host = "127.0.0.1") {
    std::vector<TcpAddress> addresses;
    std::string reason;
    if (!tcp_resolve(host, port, addresses, reason) || addresses.empty()) return;
    TcpResult r = tcp_connect_start(addresses.front(), socket_);
    if (r.step == TcpStep::would_block) {
      if (!tcp_wait(socket_, true, 5000) || tcp_connect_error(socket_) != 0) {
        tcp_close(socket_);
        socket_ = no_tcp_socket;
      }
    } else if (r.step != TcpStep::done) {
      socket_ = no_tcp_socket;
    }
  }
  ~TcpClient() { tcp_close(socket_); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return socket_ != no_tcp_socket; }
  uint16_t local_port() const { return static_cast<uint16_t>(tcp_local_port(socket_)); }

  // Sends all of text; false when the connection refused it.
  bool send(const std::string& text) {
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent < text.size()) {
      const TcpResult r = tcp_send(socket_, text.data() + sent, text.size() - sent);
      if (r.step == TcpStep::done) {
        sent += r.bytes;
      } else if (r.step != TcpStep::would_block || std::chrono::steady_clock::now() > deadline) {
        return false;
      } else {
        tcp_wait(socket_, true, 100);
      }
    }
    return true;
  }

  // Reads until received() holds text, the peer closes, or the limit passes.
  bool read_until(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received_.find(text) == std::string::npos) {
      if (!read_some(deadline)) return false;
    }
    return true;
  }

  // Reads until the peer closes the connection or the limit passes; true when it closed.
  bool wait_closed(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (read_some(deadline)) {
    }
    return closed_;
  }

  const std::string& received() const { return received_; }
  void clear() { received_.clear(); }

 private:
  bool read_some(std::chrono::steady_clock::time_point deadline) {
    while (!closed_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      tcp_wait(socket_, false, static_cast<int>(left.count()));
      char buffer[4096];
      const TcpResult r = tcp_receive(socket_, buffer, sizeof buffer);
      if (r.step == TcpStep::done) {
        received_.append(buffer, r.bytes);
        return true;
      }
      if (r.step != TcpStep::would_block) closed_ = true;
    }
    return false;
  }

  TcpSocket socket_ = no_tcp_socket;
  std::string received_;
  bool closed_ = false;
};
