// The control port: Hamlib's network rigctl protocol on a TCP port, for programs that
// tune the receiver (trackers, loggers, digital-mode programs, scripts). One thread
// serves every connection; commands are answered in the order they arrive and act on
// RxState as keys do, so the tuner thread stays the only one that touches the dongle.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "control/rigctl_protocol.h"

inline constexpr const char* rigctl_default_address = "127.0.0.1";
inline constexpr uint16_t rigctl_default_port = 4532;  // Hamlib's rigctld port
inline constexpr int rigctl_max_clients = 8;
// A line longer than this is no Hamlib command: the connection is closed.
inline constexpr size_t rigctl_max_line_bytes = 1024;
// Answers waiting for a client that does not read them; past this it is closed.
inline constexpr size_t rigctl_max_unsent_bytes = 64 * 1024;
// How often the thread looks at its stop flag while nothing happens.
inline constexpr int rigctl_wait_ms = 100;

struct RigctlServer {
  std::string address = rigctl_default_address;
  uint16_t port = rigctl_default_port;  // 0: any free port
  RigctlShared shared;

  // AOS and LOS, set before rigctl_start (RigctlLinks::pass_mark).
  void (*pass_mark)(void* context, bool start) = nullptr;
  void* pass_context = nullptr;

  std::atomic<bool> stop{false};
  std::atomic<bool> stopping{false};  // the first rigctl_stop joins the thread
  std::atomic<int> bound_port{0};  // the port listened on, once listening
  std::atomic<int> clients{0};     // connections open now
  std::thread thread;
};

// Listens on server's address and port and starts serving; prints where. When it cannot
// listen it says so in one line and returns false: the receiver runs on without it.
// level_dbfs and squelch_open are what RigctlLinks reads (either may be null).
bool rigctl_start(RigctlServer& server, RxState& state, const Variant& variant,
                  const std::atomic<float>* level_dbfs, const std::atomic<uint8_t>* squelch_open = nullptr);

// Ends the serving thread within one wait and closes every connection. Safe to call
// when the server never started, and more than once.
void rigctl_stop(RigctlServer& server);
