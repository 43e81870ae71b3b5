#include "control/rigctl_server.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/print_console.h"
#include "platform/tcp_socket.h"
#include "platform/thread_name.h"
#include "tuner/rtl_tcp.h"

namespace {

// Work one turn may do for one client, so that a flood from one never starves the
// others or the stop flag.
constexpr size_t receive_bytes_per_turn = 16 * 1024;
constexpr int lines_per_turn = 256;
constexpr int accepts_per_turn = 16;
// The wait while a client has answers left that its connection would not take yet.
constexpr int unsent_wait_ms = 10;
// A program that reconnects in a loop while the port is full is reported at most once
// this often, so that it cannot fill the console.
constexpr auto refusal_report_interval = std::chrono::seconds(1);

// Refusals since the last one reported, and when that was.
struct Refusals {
  std::chrono::steady_clock::time_point last_report{};
  int unreported = 0;
};

struct Client {
  TcpSocket socket = no_tcp_socket;
  std::string who;
  std::string in;   // received bytes not yet answered
  std::string out;  // answers not yet sent
  bool quitting = false;  // asked to close: closes once its answers are out
  bool gone = false;
};

bool has_whole_line(const Client& c) { return c.in.find('\n') != std::string::npos; }

void drop(Client& c, const char* why) {
  if (why != nullptr) print_console("rigctl: client %s %s\n", c.who.c_str(), why);
  tcp_close(c.socket);
  c.socket = no_tcp_socket;
  c.gone = true;
}

void report_refusal(Refusals& refusals, const std::string& who) {
  const auto now = std::chrono::steady_clock::now();
  if (refusals.last_report != std::chrono::steady_clock::time_point{} &&
      now - refusals.last_report < refusal_report_interval) {
    ++refusals.unreported;
    return;
  }
  if (refusals.unreported > 0) {
    print_console("rigctl: client %s refused: %d clients are connected already (%d more refused)\n",
                  who.c_str(), rigctl_max_clients, refusals.unreported);
  } else {
    print_console("rigctl: client %s refused: %d clients are connected already\n", who.c_str(),
                  rigctl_max_clients);
  }
  refusals.last_report = now;
  refusals.unreported = 0;
}

void accept_clients(RigctlServer& server, TcpSocket listener, std::vector<Client>& clients,
                    Refusals& refusals) {
  for (int k = 0; k < accepts_per_turn; ++k) {
    TcpSocket socket = no_tcp_socket;
    std::string host;
    uint16_t port = 0;
    if (tcp_accept(listener, socket, host, port).step != TcpStep::done) return;
    const std::string who = host_port_text(host, port);
    if (static_cast<int>(clients.size()) >= rigctl_max_clients) {
      report_refusal(refusals, who);
      tcp_close(socket);
      continue;
    }
    tcp_no_delay(socket);
    Client client;
    client.socket = socket;
    client.who = who;
    clients.push_back(std::move(client));
    server.clients.store(static_cast<int>(clients.size()), std::memory_order_relaxed);
    print_console("rigctl: client %s connected\n", who.c_str());
  }
}

// Takes what has arrived, up to this turn's share. False when the client has gone.
bool receive(Client& c) {
  char buffer[4096];
  size_t taken = 0;
  while (taken < receive_bytes_per_turn) {
    const TcpResult r = tcp_receive(c.socket, buffer, sizeof buffer);
    if (r.step == TcpStep::would_block) return true;
    if (r.step != TcpStep::done) return false;
    c.in.append(buffer, r.bytes);
    taken += r.bytes;
  }
  return true;
}

void answer_lines(const RigctlLinks& links, Client& c) {
  for (int k = 0; k < lines_per_turn && !c.quitting; ++k) {
    const size_t end = c.in.find('\n');
    if (end == std::string::npos) break;
    if (end > rigctl_max_line_bytes) break;  // refused below, whole
    bool quit = false;
    c.out += rigctl_answer(links, std::string_view(c.in).substr(0, end), quit);
    c.in.erase(0, end + 1);
    c.quitting = quit;
  }
}

// Sends what it can without waiting. False when the connection failed.
bool send_answers(Client& c) {
  while (!c.out.empty()) {
    const TcpResult r = tcp_send(c.socket, c.out.data(), c.out.size());
    if (r.step == TcpStep::would_block) return true;
    if (r.step != TcpStep::done) return false;
    c.out.erase(0, r.bytes);
  }
  return true;
}

void serve_client(const RigctlLinks& links, Client& c, bool readable) {
  if (readable && !receive(c)) {
    // Answers to what came before the close still go out if they can.
    answer_lines(links, c);
    send_answers(c);
    return drop(c, "left");
  }
  answer_lines(links, c);
  const size_t line_end = c.in.find('\n');
  if ((line_end == std::string::npos ? c.in.size() : line_end) > rigctl_max_line_bytes) {
    return drop(c, "closed: it sent a line longer than 1024 bytes");
  }
  if (!send_answers(c)) return drop(c, "left");
  if (c.out.size() > rigctl_max_unsent_bytes) return drop(c, "closed: it does not read its answers");
  if (c.quitting && c.out.empty()) return drop(c, "left");
}

void serve(RigctlServer& server, TcpSocket listener, RigctlLinks links) {
  name_current_thread("rigctl");
  std::vector<Client> clients;
  Refusals refusals;
  std::vector<TcpSocket> sockets;
  bool ready[1 + rigctl_max_clients] = {};
  while (!server.stop.load(std::memory_order_acquire)) {
    sockets.assign(1, listener);
    int wait_ms = rigctl_wait_ms;
    for (const Client& c : clients) {
      sockets.push_back(c.socket);
      if (!c.out.empty()) wait_ms = std::min(wait_ms, unsent_wait_ms);
      if (has_whole_line(c)) wait_ms = 0;  // lines left over from the last turn
    }
    tcp_wait_any(sockets.data(), ready, static_cast<int>(sockets.size()), wait_ms);
    // Clients accepted now are looked at from the next turn on.
    const size_t waited_on = clients.size();
    if (ready[0]) accept_clients(server, listener, clients, refusals);
    for (size_t k = 0; k < waited_on; ++k) serve_client(links, clients[k], ready[k + 1]);
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.gone; }),
                  clients.end());
    server.clients.store(static_cast<int>(clients.size()), std::memory_order_relaxed);
  }
  for (Client& c : clients) tcp_close(c.socket);
  server.clients.store(0, std::memory_order_relaxed);
  tcp_close(listener);
}

TcpSocket listen_on(const RigctlServer& server, std::string& reason) {
  std::vector<TcpAddress> addresses;
  if (!tcp_resolve(server.address, server.port, addresses, reason)) return no_tcp_socket;
  for (const TcpAddress& address : addresses) {
    TcpSocket listener = no_tcp_socket;
    const TcpResult r = tcp_listen(address, rigctl_max_clients, listener);
    if (r.step == TcpStep::done) return listener;
    reason = tcp_error_text(r.error);
  }
  return no_tcp_socket;
}

}  // namespace

bool rigctl_start(RigctlServer& server, RxState& state, const Variant& variant,
                  const std::atomic<float>* level_dbfs, const std::atomic<uint8_t>* squelch_open) {
  std::string reason;
  const TcpSocket listener = listen_on(server, reason);
  const std::string where = host_port_text(server.address, server.port);
  if (listener == no_tcp_socket) {
    print_console("rigctl: cannot listen on %s: %s; running without the control port\n",
                  where.c_str(), reason.c_str());
    return false;
  }
  server.bound_port.store(tcp_local_port(listener));
  print_console("rigctl: control port on %s (Hamlib NET rigctl)\n",
                host_port_text(server.address, static_cast<uint16_t>(server.bound_port.load())).c_str());
  server.stop.store(false);
  RigctlLinks links{state, server.shared, variant, level_dbfs, squelch_open, server.pass_mark, server.pass_context};
  server.thread = std::thread([&server, listener, links] { serve(server, listener, links); });
  return true;
}

void rigctl_stop(RigctlServer& server) {
  server.stop.store(true, std::memory_order_release);
  // Esc and a close event may both stop the receiver; one of them joins.
  if (!server.stopping.exchange(true) && server.thread.joinable()) server.thread.join();
}
