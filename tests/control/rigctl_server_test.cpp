// The control port over real connections: several clients, and clients that misbehave.
#include "control/rigctl_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/print_console.h"
#include "dsp/dsp_thread.h"
#include "tests/support/console_capture.h"
#include "tests/support/tcp_client.h"
#include "variants/variant.h"

using namespace std::chrono_literals;

namespace {

template <typename Done>
bool wait_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  return done();
}

struct Port : ::testing::Test {
  ConsoleCapture console;
  RxState state{rxiq12_variant};
  std::atomic<float> level{no_level_dbfs};
  RigctlServer server;

  void SetUp() override {
    print_console_set_charset("UTF-8");
    state.device.store(reinterpret_cast<Dongle*>(uintptr_t{0x1000}));
    server.port = 0;
    ASSERT_TRUE(rigctl_start(server, state, rxiq12_variant, &level)) << console.text();
  }
  void TearDown() override {
    rigctl_stop(server);
    print_console_set_charset(nullptr);
  }
  uint16_t port() const { return static_cast<uint16_t>(server.bound_port.load()); }
  bool clients_are(int n) {
    return wait_until([&] { return server.clients.load() == n; });
  }
};

}  // namespace

TEST_F(Port, SaysWhereItListensAndServesEightClientsTheNinthIsRefused) {
  EXPECT_NE(console.text().find("rigctl: control port on 127.0.0.1:" + std::to_string(port()) +
                                " (Hamlib NET rigctl)\n"),
            std::string::npos)
      << console.text();
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int k = 0; k < rigctl_max_clients; ++k) {
    clients.push_back(std::make_unique<TcpClient>(port()));
    ASSERT_TRUE(clients.back()->connected());
  }
  ASSERT_TRUE(clients_are(rigctl_max_clients));
  TcpClient ninth(port());
  EXPECT_TRUE(ninth.wait_closed()) << "the ninth is closed at once";
  EXPECT_NE(console.text().find(" refused: 8 clients are connected already\n"), std::string::npos);
  // A program that keeps trying is refused every time, but reported about once a second.
  const auto started = std::chrono::steady_clock::now();
  for (int k = 0; k < 40; ++k) {
    TcpClient again(port());
    EXPECT_TRUE(again.wait_closed());
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - started).count();
  size_t reported = 0;
  for (size_t at = console.text().find(" refused: "); at != std::string::npos;
       at = console.text().find(" refused: ", at + 1)) {
    ++reported;
  }
  EXPECT_LE(reported, 2u + static_cast<size_t>(seconds)) << console.text();

  // Commands from all of them, each answered on its own connection in its own order.
  for (int k = 0; k < rigctl_max_clients; ++k) {
    ASSERT_TRUE(clients[k]->send("F " + std::to_string(145000000 + 1000 * k) + "\nf\n"));
  }
  for (int k = 0; k < rigctl_max_clients; ++k) {
    ASSERT_TRUE(clients[k]->read_until("\n", 10s));
    ASSERT_TRUE(clients[k]->read_until("RPRT 0\n1450")) << clients[k]->received();
  }

  // One leaves; a place is free again.
  ASSERT_TRUE(clients[0]->send("q\n"));
  EXPECT_TRUE(clients[0]->wait_closed());
  ASSERT_TRUE(clients_are(rigctl_max_clients - 1));
  TcpClient next(port());
  ASSERT_TRUE(next.send("+f\n"));
  EXPECT_TRUE(next.read_until("RPRT 0\n")) << next.received();
  EXPECT_NE(next.received().find("get_freq:\nFrequency: 1450"), std::string::npos);
}

TEST_F(Port, MisbehavingClientsAreClosedAndTheOthersServed) {
  TcpClient good(port());
  TcpClient silent(port());  // connects and never says anything
  ASSERT_TRUE(clients_are(2));

  TcpClient too_long(port());
  ASSERT_TRUE(too_long.send(std::string(rigctl_max_line_bytes + 1, 'F')));
  EXPECT_TRUE(too_long.wait_closed()) << "a line longer than 1 KiB, even before its end";
  EXPECT_NE(console.text().find("closed: it sent a line longer than 1024 bytes\n"), std::string::npos);

  TcpClient garbage(port());
  std::string bytes;
  for (int k = 0; k < 1000; ++k) bytes += static_cast<char>((k * 37 + 11) % 256);
  for (char& c : bytes) if (c == '\n') c = 'x';
  ASSERT_TRUE(garbage.send(bytes.substr(0, 900) + "\n" + "f\n"));
  EXPECT_TRUE(garbage.read_until("RPRT -11\n145725000\n")) << "one refusal for the garbage, then service";

  // Thousands of commands it never reads the answers of: once the answers waiting pass
  // the limit, it is closed rather than kept in memory.
  TcpClient flood(port());
  std::string commands;
  for (int k = 0; k < 20000; ++k) commands += "\\dump_state\n";
  flood.send(commands);
  EXPECT_TRUE(wait_until([&] {
    return console.text().find("closed: it does not read its answers\n") != std::string::npos;
  })) << console.text();

  // The others were served all along, and still are.
  ASSERT_TRUE(good.send("F 145730000\nf\n"));
  EXPECT_TRUE(good.read_until("RPRT 0\n145730000\n")) << good.received();
  EXPECT_EQ(state.frequency.load(), 145730000);

  // A client that goes without a word is noticed too.
  {
    TcpClient gone(port());
    ASSERT_TRUE(gone.connected());
  }
  EXPECT_TRUE(wait_until([&] { return server.clients.load() == 3; })) << "good, silent, garbage";
}

TEST_F(Port, StoppingClosesEveryConnection) {
  TcpClient a(port()), b(port());
  ASSERT_TRUE(a.send("f\n"));
  ASSERT_TRUE(a.read_until("\n"));
  ASSERT_TRUE(clients_are(2));
  rigctl_stop(server);
  EXPECT_TRUE(a.wait_closed());
  EXPECT_TRUE(b.wait_closed());
  rigctl_stop(server);  // again: nothing happens
}

TEST_F(Port, APortInUseIsReportedAndNothingElseHappens) {
  RigctlServer second;
  second.port = port();
  EXPECT_FALSE(rigctl_start(second, state, rxiq12_variant, &level));
  EXPECT_NE(console.text().find("rigctl: cannot listen on 127.0.0.1:" + std::to_string(port()) + ": "),
            std::string::npos)
      << console.text();
  EXPECT_NE(console.text().find("; running without the control port\n"), std::string::npos);
  rigctl_stop(second);
}
