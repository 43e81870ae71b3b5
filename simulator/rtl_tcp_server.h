// rxiq-sim --tcp [ADDRESS:]PORT [--file PATH[,...]]: the simulated dongle, or a recording
// played by the file dongle (tuner/file_dongle.h), served over the rtl_tcp protocol, so
// that any receiver that speaks it can be tried without hardware.
//
// One client at a time (others wait until it leaves); each gets a fresh simulated dongle
// (the scene, gains and failure mode of RXIQ_DONGLE=sim), tuned to the receiver's default frequency with
// automatic gain until it says otherwise, paced in real time. The client's commands are
// applied between blocks. A recording starts from its beginning for each client, at its
// own rate; at its end (without ,loop) the server ends as when the simulated dongle is
// unplugged.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "simulator/sim_dongle.h"
#include "tuner/rtl_tcp.h"

inline constexpr const char* rtl_tcp_server_default_address = "127.0.0.1";

struct RtlTcpServer {
  std::string address = rtl_tcp_server_default_address;
  uint16_t port = rtl_tcp_default_port;  // 0: any free port
  DongleChoice choice = sim_dongle_choice();
  bool paced = true;
  FILE* messages = stdout;  // where the server says what it does; null for silence

  std::atomic<bool> stop{false};  // set from another thread to end rtl_tcp_serve
  std::atomic<int> bound_port{0};  // the port listened on, once listening
  std::atomic<int> clients{0};     // connections accepted so far
};

// Listens and serves until stop is set (returns 0), or fails to start or loses its
// simulated dongle or reaches the end of its recording (returns 1).
int rtl_tcp_serve(RtlTcpServer& server);

// True when the command line asks rxiq-sim for the server.
bool rtl_tcp_server_asked(int argc, char** argv);

// rxiq-sim's entry for --tcp; returns the exit status.
int rtl_tcp_server_main(int argc, char** argv);
