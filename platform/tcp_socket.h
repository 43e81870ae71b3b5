// TCP connections that never block: each call returns at once and tcp_wait waits at
// most a given time, so that its user can look at its own stop flag between waits. The
// network dongle connects; the simulator's rtl_tcp server listens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using TcpSocket = intptr_t;
inline constexpr TcpSocket no_tcp_socket = -1;

// One address of a host, as the system's resolver gave it.
struct TcpAddress {
  int family = 0;
  int length = 0;
  alignas(8) unsigned char bytes[128] = {};
};

// The addresses of host (a name, IPv4 or IPv6 text) at port; false with the reason.
bool tcp_resolve(const std::string& host, uint16_t port, std::vector<TcpAddress>& addresses,
                 std::string& reason);

// How a step went: it moved bytes (or finished), would have to wait, found the
// connection closed by the peer, or failed with the system's error.
enum class TcpStep { done, would_block, closed, failed };

struct TcpResult {
  TcpStep step;
  size_t bytes = 0;  // moved, for done
  int error = 0;     // the system's error, for failed
};

// Starts connecting a new socket to address: done (connected at once), would_block (in
// progress: wait for writing, then ask tcp_connect_error) or failed. The socket is
// stored in socket unless the step failed.
TcpResult tcp_connect_start(const TcpAddress& address, TcpSocket& socket);

// After an in-progress connect became writable: 0 when it connected, else the error.
int tcp_connect_error(TcpSocket socket);

// A listening socket on address (its port reused at once after a restart), taking up to
// backlog connections waiting to be accepted: done with the socket, or failed.
TcpResult tcp_listen(const TcpAddress& address, int backlog, TcpSocket& socket);

// The port a socket is bound to (the one chosen, for port 0), or 0.
int tcp_local_port(TcpSocket socket);

// Accepts a waiting connection without waiting: done with the new socket in client and
// its address as numeric text in peer_host and peer_port, would_block when none waits,
// or failed.
TcpResult tcp_accept(TcpSocket listener, TcpSocket& client, std::string& peer_host,
                     uint16_t& peer_port);

// Asks for commands to leave at once rather than be gathered.
void tcp_no_delay(TcpSocket socket);

TcpResult tcp_receive(TcpSocket socket, void* bytes, size_t length);
// A peer that has gone raises no signal; the send just fails.
TcpResult tcp_send(TcpSocket socket, const void* bytes, size_t length);

// Waits up to ms for the socket to become readable (or writable); an error or a hang-up
// counts as ready. False when the time ran out.
bool tcp_wait(TcpSocket socket, bool for_writing, int ms);

// Waits up to ms for any of count sockets to become readable (an error, a hang-up or a
// connection waiting to be accepted counts as readable); readable[k] tells which. Returns
// the number ready, 0 when the time ran out.
int tcp_wait_any(const TcpSocket* sockets, bool* readable, int count, int ms);

void tcp_close(TcpSocket socket);

// The system's words for an error, and its error for a connection that timed out.
std::string tcp_error_text(int error);
int tcp_timed_out_error();
