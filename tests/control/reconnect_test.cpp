// The receiver looks for a dongle that has gone and plays it again once it is back:
// a USB dongle unplugged and plugged in again (the real librtlsdr over the USB-level
// emulator) and an rtl_tcp server stopped and started again. Each time the carrier is
// heard again where the settings in force put it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sys/wait.h>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/private_pulse.h"
#include "tests/support/pty_process.h"
#include "tests/support/tone.h"
#include "tests/support/usb_dongle.h"

using namespace std::chrono_literals;

namespace {

const std::string rxiq12 = std::string(RXIQ_BINARY_DIR) + "/rxiq12";
const std::string rxiq_sim = std::string(RXIQ_BINARY_DIR) + "/rxiq-sim";
constexpr double frame_rate = PrivatePulse::frame_rate;
constexpr double carrier = 145735000;  // the simulator's and the emulator's

std::vector<int16_t> frames_of(const std::string& path) {
  const std::vector<uint8_t> bytes = read_bytes(path);
  std::vector<int16_t> frames(bytes.size() / 2);
  std::memcpy(frames.data(), bytes.data(), frames.size() * 2);
  return frames;
}

// Lets `seconds` more of sound reach the recording, reading the receiver's output
// meanwhile so that it never waits for the terminal.
bool record_more(PtyProcess& rx, const std::string& path, double seconds) {
  const size_t start = read_bytes(path).size();
  const auto more = static_cast<size_t>(seconds * frame_rate * 4);
  return PrivatePulse::poll_until([&] {
    rx.wait_for("\x01", 10ms);
    return read_bytes(path).size() >= start + more;
  });
}

// Where the carrier is in the last half second recorded, looked for within 300 Hz of
// where it should be.
double carrier_heard(const std::string& path, double expected) {
  return strongest_tone_at_end(frames_of(path), frame_rate, 0.5, expected - 300, expected + 300);
}

struct Reconnect : ::testing::Test {
  PrivatePulse pulse;
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(pulse.start_server()); }
  void TearDown() override { pulse.finish(HasFailure()); }
  std::string path(const std::string& name) const { return pulse.dir() + "/" + name; }
};

}  // namespace

TEST_F(Reconnect, AnUnpluggedDongleComesBackWithTheSettingsInForce) {
  UsbDongleOptions o;
  o.record = path("usb.rec");
  o.fault = "unplug=2,replug=3";
  o.crystal_ppm = 48;
  std::vector<std::string> env = usb_dongle_environment(o);
  env.insert(env.end(), {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
  PtyProcess rx(rxiq12, {}, env);
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Type V for user interface\n", 20s)) << rx.output();
  ASSERT_NO_FATAL_FAILURE(pulse.start_recorder(path("sound.raw")));
  ASSERT_TRUE(record_more(rx, path("sound.raw"), 0.6));
  const double before = read_usb_dongle_record(o.record).tuned->rf_hz;
  EXPECT_NEAR(carrier_heard(path("sound.raw"), carrier - before), carrier - before, 2);

  ASSERT_TRUE(rx.wait_for("Dongle gone (unplugged?): reading stopped.\n", 20s)) << rx.output();
  // While it is away: three steps up and one gain step down.
  rx.send("\x1b[C\x1b[C\x1b[C\x1b[4~");
  ASSERT_TRUE(rx.wait_for("Dongle back: reading again at 145725150 Hz\n", 20s)) << rx.output();
  ASSERT_TRUE(record_more(rx, path("sound.raw"), 1.0));
  const UsbDongleRecord r = read_usb_dongle_record(o.record);
  ASSERT_TRUE(r.tuned && r.gain);
  EXPECT_NEAR(r.tuned->rf_hz, 145725150, 200);
  EXPECT_TRUE(r.gain->manual);
  EXPECT_DOUBLE_EQ(r.gain->db, 48.0);
  EXPECT_NEAR(carrier_heard(path("sound.raw"), carrier - r.tuned->rf_hz), carrier - r.tuned->rf_hz, 2);

  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rx.output();
  EXPECT_EQ(read_usb_dongle_record(o.record).count("close"), read_usb_dongle_record(o.record).count("open"));
}

TEST_F(Reconnect, AnRtlTcpServerStoppedAndStartedAgainIsReadAgain) {
  uint16_t port = 0;
  {
    LoopbackListener free_port;
    port = free_port.port();
  }
  auto start_server = [&] {
    pid_t server = spawn({rxiq_sim, "--tcp", std::to_string(port)}, path("rxiq-sim.log"));
    EXPECT_TRUE(poll_until([&] { return tcp_port_listening(port); }, 20s));
    return server;
  };
  pid_t server = start_server();
  PtyProcess rx(rxiq12, {}, {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "RXIQ_DONGLE=tcp:127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Type V for user interface\n", 20s)) << rx.output();
  ASSERT_NO_FATAL_FAILURE(pulse.start_recorder(path("sound.raw")));
  ASSERT_TRUE(record_more(rx, path("sound.raw"), 0.6));
  // The simulator's crystal error is what the receiver corrects: the carrier at 10 kHz.
  EXPECT_NEAR(carrier_heard(path("sound.raw"), 10000), 10000, 2);

  stop_child(server);
  ASSERT_TRUE(rx.wait_for("Dongle gone (unplugged?): reading stopped.\n", 20s)) << rx.output();
  rx.send("\x1b[D\x1b[D");  // 100 Hz down while the server is away
  server = start_server();
  ASSERT_TRUE(rx.wait_for("Dongle back: reading again at 145724900 Hz\n", 30s)) << rx.output();
  ASSERT_TRUE(record_more(rx, path("sound.raw"), 1.0));
  EXPECT_NEAR(carrier_heard(path("sound.raw"), 10100), 10100, 2);
  EXPECT_EQ(rx.output().find("rtl_tcp 127.0.0.1"), std::string::npos) << "no line per failed attempt";

  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rx.output();
  stop_child(server);
}
