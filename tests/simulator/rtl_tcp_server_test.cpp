// The simulator's rtl_tcp server against the network dongle, and against a client written
// here from the protocol's description alone, so that the two sides cannot share a
// mistake: a 12-byte header ("RTL0", tuner type, gain count, big-endian), then raw
// unsigned 8-bit I/Q; commands of one byte and a big-endian 32-bit parameter.
#include "simulator/rtl_tcp_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"
#include "tuner/rtl_tcp_dongle.h"
#include "simulator/sim_dongle.h"
#include "tuner/tuner_thread.h"

namespace {

using namespace std::chrono_literals;

// The server on a free loopback port, on its own thread, its messages kept in a file.
struct ServerRun {
  RtlTcpServer server;
  FILE* log = std::tmpfile();
  std::thread thread;
  int status = -1;

  explicit ServerRun(DongleChoice choice = sim_dongle_choice(), bool paced = false) {
    server.port = 0;
    server.choice = choice;
    server.paced = paced;
    server.messages = log;
    thread = std::thread([this] { status = rtl_tcp_serve(server); });
  }
  ~ServerRun() {
    server.stop.store(true);
    end();
    std::fclose(log);
  }

  uint16_t port() const {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (server.bound_port.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    return static_cast<uint16_t>(server.bound_port.load());
  }

  // Waits for the server to end (it must have been stopped or have ended by itself).
  int end() {
    if (thread.joinable()) thread.join();
    return status;
  }

  std::string messages() {
    std::string text;
    std::rewind(log);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, log)) > 0) text.append(buffer, n);
    return text;
  }
};

// --- The client written from the description.

void send_command(int fd, uint8_t code, uint32_t value) {
  const uint8_t bytes[5] = {code, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  ASSERT_TRUE(write_all(fd, bytes, sizeof bytes));
}

uint32_t big_endian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Amplitude of the complex exponential at offset Hz in I/Q bytes.
double amplitude_at(const std::vector<uint8_t>& iq, double offset, double rate) {
  std::complex<double> sum = 0;
  const size_t n = iq.size() / 2;
  for (size_t k = 0; k < n; ++k) {
    std::complex<double> sample(iq[2 * k] - 127.5, iq[2 * k + 1] - 127.5);
    sum += sample * std::polar(1.0, -2 * std::numbers::pi * offset * static_cast<double>(k) / rate);
  }
  return std::abs(sum) / static_cast<double>(n);
}

// Reads windows of the stream until `holds` is true of one (at most 60 windows); returns
// the amplitude at `offset` in that window, or -1.
template <typename Holds>
double window_where(int fd, double offset, Holds holds) {
  std::vector<uint8_t> iq(32768);
  for (int w = 0; w < 60; ++w) {
    if (!read_exactly(fd, iq.data(), iq.size(), 5s)) return -1;
    if (holds(iq)) return amplitude_at(iq, offset, 1200000);
  }
  return -1;
}

}  // namespace

TEST(RtlTcpServer, AClientFromTheDescriptionSeesTheHeaderAndTheSceneFollowItsCommands) {
  // In real time, so that little of the stream is in flight when a command goes out.
  ServerRun run(sim_dongle_choice(), true);
  const int fd = loopback_connect(run.port());
  ASSERT_GE(fd, 0);
  uint8_t head[12];
  ASSERT_TRUE(read_exactly(fd, head, sizeof head, 5s));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "RTL0");
  EXPECT_EQ(big_endian(head + 4), 5u) << "R820T";
  EXPECT_EQ(big_endian(head + 8), 29u) << "gain steps";

  // 1.2 Msps, the crystal error corrected, manual top gain, tuned 30 kHz below the
  // strong carrier at 145,735,000 Hz.
  send_command(fd, 0x02, 1200000);
  send_command(fd, 0x05, 48);
  send_command(fd, 0x03, 1);
  send_command(fd, 0x04, 496);
  send_command(fd, 0x01, 145705000);
  auto carrier_at = [](double offset, double elsewhere) {
    return [=](const std::vector<uint8_t>& iq) {
      return amplitude_at(iq, offset, 1200000) > 10 * amplitude_at(iq, elsewhere, 1200000);
    };
  };
  const double strong = window_where(fd, 30000, carrier_at(30000, 20000));
  EXPECT_GT(strong, 30) << "the carrier at +30 kHz at full gain";

  // Retuning 10 kHz up moves it to +20 kHz.
  send_command(fd, 0x01, 145715000);
  EXPECT_GT(window_where(fd, 20000, carrier_at(20000, 30000)), 30);

  // The lowest gain step by index: about 50 dB weaker.
  send_command(fd, 0x0d, 0);
  const double weak = window_where(fd, 20000, [&](const std::vector<uint8_t>& iq) {
    return amplitude_at(iq, 20000, 1200000) < strong / 20;
  });
  EXPECT_GT(weak, 0);
  EXPECT_LT(weak, strong / 100);
  ::close(fd);
}

TEST(RtlTcpServer, ServesTheNetworkDongleOneClientAtATime) {
  ServerRun run;
  const uint16_t port = run.port();
  ConsoleCapture console;
  RtlTcpDongle dongle(tcp_choice(port));
  ASSERT_EQ(dongle.get_device_count(), 1u);
  char manufact[usb_string_size], product[usb_string_size], serial[usb_string_size];
  dongle.get_device_usb_strings(0, manufact, product, serial);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  EXPECT_STREQ(manufact, "rtl_tcp");
  EXPECT_EQ(product, where);
  EXPECT_STREQ(serial, "R820T");
  Dongle* dev = nullptr;
  ASSERT_EQ(dongle.open(&dev, 0), 0) << console.text();
  std::vector<int> gains(max_gains);
  ASSERT_EQ(dongle.get_tuner_gains(dev, gains.data()), 29);
  EXPECT_TRUE(std::equal(sim_r820t_gains.begin(), sim_r820t_gains.end(), gains.begin()));
  EXPECT_EQ(dongle.set_sample_rate(dev, 1200000), 0);
  EXPECT_EQ(dongle.set_center_freq(dev, 145725000), 0);
  std::vector<uint8_t> block(read_block_bytes);
  int n_read = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), 0);
    EXPECT_EQ(n_read, read_block_bytes);
  }

  // A second client waits in line and is served once the first has left.
  const int second = loopback_connect(port);
  ASSERT_GE(second, 0);
  dongle.close(dev);
  uint8_t head[12];
  EXPECT_TRUE(read_exactly(second, head, sizeof head, 10s));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "RTL0");
  ::close(second);

  run.server.stop.store(true);
  EXPECT_EQ(run.end(), 0);
  EXPECT_EQ(run.server.clients.load(), 2);
  const std::string said = run.messages();
  EXPECT_EQ(said.rfind("rxiq-sim: rtl_tcp server on " + where + ", one client at a time\n", 0), 0u)
      << said;
  EXPECT_NE(said.find("rxiq-sim: client 127.0.0.1:"), std::string::npos);
  EXPECT_NE(said.find(" left\n"), std::string::npos);
}

TEST(RtlTcpServer, TheSimulatorsFailuresCarryOver) {
  // Unplugged at the third read: two blocks go out, then the connection closes and the
  // server ends, its dongle gone.
  {
    ServerRun run(sim_dongle_choice(SimFailure::unplug, 3));
    RtlTcpDongle dongle(tcp_choice(run.port()));
    ConsoleCapture console;
    dongle.get_device_count();
    Dongle* dev = nullptr;
    ASSERT_EQ(dongle.open(&dev, 0), 0) << console.text();
    std::vector<uint8_t> block(read_block_bytes);
    int n_read = 0;
    EXPECT_EQ(dongle.read_sync(dev, block.data(), discarded_read_bytes, &n_read), 0);
    EXPECT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), 0);
    EXPECT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), dongle_gone_result);
    EXPECT_EQ(run.end(), 1);
    EXPECT_NE(run.messages().find("rxiq-sim: the simulated dongle is gone (unplugged)"),
              std::string::npos);
  }
  // No dongle, or one that cannot be opened: nothing to serve.
  for (SimFailure failure : {SimFailure::no_device, SimFailure::fail_open}) {
    ServerRun run(sim_dongle_choice(failure));
    EXPECT_EQ(run.end(), 1);
    EXPECT_EQ(run.messages(), failure == SimFailure::no_device ? "No supported devices found\n"
                                                               : "Failed to open device #0\n");
    EXPECT_EQ(run.server.bound_port.load(), 0);
  }
}

TEST(RtlTcpServer, RxiqSimSaysWhereItListensAndRejectsABadAddress) {
  const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq-sim";
  {
    PtyProcess sim(program, {"--tcp", "127.0.0.1:0"}, {});
    ASSERT_TRUE(sim.started());
    const std::string opening = "rxiq-sim: rtl_tcp server on 127.0.0.1:";
    ASSERT_TRUE(sim.wait_for(", one client at a time\n", 20s)) << sim.output();
    const size_t at = sim.output().find(opening);
    ASSERT_NE(at, std::string::npos) << sim.output();
    const int port = std::atoi(sim.output().c_str() + at + opening.size());
    const int fd = loopback_connect(static_cast<uint16_t>(port));
    ASSERT_GE(fd, 0);
    uint8_t head[12];
    EXPECT_TRUE(read_exactly(fd, head, sizeof head, 10s));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "RTL0");
    ::close(fd);
  }
  for (const char* bad : {"127.0.0.1:70000", "::1:1234", "host:port", "[::1"}) {
    PtyProcess sim(program, {"--tcp", bad}, {});
    const int status = sim.wait_exit(20s);
    ASSERT_TRUE(WIFEXITED(status)) << bad;
    EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    EXPECT_NE(sim.output().find("usage: rxiq-sim --tcp [ADDRESS:]PORT"), std::string::npos);
  }
}
