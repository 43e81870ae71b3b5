// The receiver on the real librtlsdr, over the USB-level emulator: what a person with a
// dongle sees and what the dongle is left in.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "terminal/terminal_graphics.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"
#include "tests/support/usb_dongle.h"

using namespace std::chrono_literals;

namespace {

const std::string rxiq12 = std::string(RXIQ_BINARY_DIR) + "/rxiq12";

// The emulated crystal is off by the receiver's default correction, so that the tuning
// lands where it was asked for.
constexpr double crystal_ppm = 48;

struct RealDongle : ::testing::Test {
  std::string dir = make_temp_dir();
  std::string record = dir + "/usb.rec";

  static std::string make_temp_dir() {
    char pattern[] = "/tmp/rxiq-real-XXXXXX";
    return mkdtemp(pattern) ? pattern : "/tmp";
  }
  void TearDown() override {
    if (!HasFailure()) std::filesystem::remove_all(dir);
  }

  UsbDongleOptions options(const std::string& fault = "") const {
    UsbDongleOptions o;
    o.record = record;
    o.fault = fault;
    o.crystal_ppm = crystal_ppm;
    return o;
  }
  // The receiver's environment on the emulator; no sound server is reachable unless the
  // caller's environment names one.
  std::vector<std::string> environment(const std::string& fault = "") const {
    std::vector<std::string> env = usb_dongle_environment(options(fault));
    env.insert(env.end(), {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    return env;
  }
  UsbDongleRecord read_record() const { return read_usb_dongle_record(record); }
};

// The transcript as lines, with the display probe's queries (which a terminal swallows)
// and the start time taken out, and the dongle's identity lines named by what they are:
// the two transcripts compared below must differ in nothing else.
std::vector<std::string> transcript_lines(std::string text) {
  const std::string queries = probe_query_text(false);
  if (const size_t at = text.find(queries); at != std::string::npos) text.erase(at, queries.size());
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.starts_with("\t0: ")) line = "\t0: <the dongle's strings>";
    if (line.starts_with("Using device 0: ")) line = "Using device 0: <its name>";
    if (line.size() == 17 && line[2] == ':' && line[11] == '/') line = "<the time>";
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Runs the receiver to its first block, presses each key once the previous one has
// shown its line, then Esc. Returns the whole output.
std::string run_keys(const std::vector<std::string>& env, const std::vector<std::string>& args,
                     const std::vector<std::pair<std::string, std::string>>& keys_and_lines) {
  PtyProcess rx(rxiq12, args, env);
  if (!rx.started() || !wait_for_key_loop(rx)) return "no key loop: " + rx.output();
  if (!rx.wait_for("Type V for user interface\nSet gain \n", 20s)) return "no first block: " + rx.output();
  size_t seen = rx.output().size();
  for (const auto& [key, line] : keys_and_lines) {
    rx.send(key);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rx.output().find(line, seen) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      rx.wait_for("\x01", 20ms);
    }
    seen = rx.output().size();
  }
  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "did not end on Esc: " + rx.output();
  return rx.output();
}

const std::string spaces25(25, ' ');

}  // namespace

TEST_F(RealDongle, TheLibrarysTranscriptKeysReachTheTunerAndEscClosesTheDongle) {
  // n, N, n: manual, automatic, manual again; Home: the top gain, which the receiver shows
  // and the tuner must have. Right three times, M for the AGC.
  const std::string out = run_keys(environment(), {},
                                   {{"n", "\tuner_gain_mode = 2"},
                                    {"N", "\tuner_gain_mode = 0"},
                                    {"n", "\tuner_gain_mode = 1"},
                                    {"\x1b[1~", ""},
                                    {"\x1b[C\x1b[C\x1b[C", ""},
                                    {"m", "\noffset_tuning = 1"}});
  for (const char* line : {"Found Rafael Micro R820T tuner\n", "\nSet gain to 1200000.00\n", "offset_tuning = 0\n",
                           "Tuned to 145725000\n", "ppm = 48\n", "Type V for user interface\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  }
  EXPECT_TRUE(out.ends_with("Окончание цикла\n")) << out;

  const UsbDongleRecord r = read_record();
  ASSERT_TRUE(r.gain.has_value());
  EXPECT_TRUE(r.gain->manual);
  EXPECT_DOUBLE_EQ(r.gain->db, 49.6) << "the tuner is at the gain the receiver shows";
  EXPECT_TRUE(r.agc);
  ASSERT_TRUE(r.tuned.has_value());
  EXPECT_TRUE(r.tuned->locked);
  // The R820T's PLL steps are coarse: near, not at, 150 Hz above the start.
  EXPECT_NEAR(r.tuned->rf_hz, 145725150, 200);
  EXPECT_TRUE(r.exited && r.closed) << "the dongle was closed before the process ended";
  EXPECT_EQ(r.closes_after_exit, 0);
}

TEST_F(RealDongle, EscTermAndHangUpEachCloseTheDongleBeforeTheProcessEnds) {
  struct Ending {
    const char* name;
    int signal;  // 0: Esc
  };
  for (const Ending ending : {Ending{"Esc", 0}, Ending{"Esc again", 0}, Ending{"Esc a third time", 0},
                              Ending{"SIGTERM", SIGTERM}, Ending{"SIGHUP", SIGHUP}}) {
    std::filesystem::remove(record);
    PtyProcess rx(rxiq12, {}, environment());
    ASSERT_TRUE(rx.started());
    ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
    ASSERT_TRUE(rx.wait_for("Type V for user interface\n", 20s)) << rx.output();
    if (ending.signal == 0) {
      rx.send("\x1b");
    } else {
      kill(rx.pid(), ending.signal);
    }
    const int status = rx.wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << ending.name << rx.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << ending.name;
    const UsbDongleRecord r = read_record();
    // A signal ends the process without its exit handlers, so the emulator's exit line
    // comes from Esc alone; the close must be there either way.
    if (ending.signal == 0) {
      EXPECT_TRUE(r.exited && r.closed) << ending.name;
      EXPECT_EQ(r.closes_after_exit, 0) << ending.name;
    }
    // librtlsdr opens the device once more for its strings; every opening is closed.
    EXPECT_EQ(r.count("close"), r.count("open")) << ending.name;
    EXPECT_TRUE(r.has("tuner standby")) << ending.name << ": the tuner was powered down";
  }
}

TEST_F(RealDongle, UnplugBusyAndNoDeviceAreToldAndTheKeysStillWork) {
  struct Case {
    std::string fault;
    std::vector<std::string> lines;
  };
  for (const Case& c : std::vector<Case>{
           {"unplug=1", {"\nDongle gone (unplugged?): reading stopped.\n", "rtlsdr_write_reg failed with -4\n"}},
           {"busy", {"usb_claim_interface error -6\n", "Failed to open device #0\n"}},
           {"access", {"usb_open error -3\n", "Failed to open device #0\n"}},
           {"no-device", {"No supported devices found\n"}},
       }) {
    std::filesystem::remove(record);
    PtyProcess rx(rxiq12, {}, environment(c.fault));
    ASSERT_TRUE(rx.started());
    ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
    for (const std::string& line : c.lines) EXPECT_TRUE(rx.wait_for(line, 20s)) << c.fault << ": " << rx.output();
    rx.send("t");
    EXPECT_TRUE(rx.wait_for("Top ", 10s)) << c.fault << ": keys still work";
    rx.send("\x1b");
    const int status = rx.wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << c.fault << rx.output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(rx.output().ends_with("Окончание цикла\n")) << c.fault << ": " << rx.output();
    const UsbDongleRecord r = read_record();
    EXPECT_TRUE(r.closed || !r.has("open")) << c.fault << ": whatever was opened was closed";
  }
}

TEST_F(RealDongle, TheSimulatorsTranscriptIsTheLibrarys) {
  // The same keys on both: the gain modes, the AGC and a retune, at a frequency the
  // R820T cannot lock and at one it can; then an unplug.
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"n", "\tuner_gain_mode = 2"}, {"n", "\tuner_gain_mode = 0"}, {"n", "\tuner_gain_mode = 1"},
      {"\x1b[4~", "Set gain \n48.00\n"}, {"m", "\noffset_tuning = 1"}, {"\x1b[C", ""}};
  std::vector<std::string> sim_env = {"RXIQ_DONGLE=sim", "LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"0"}}) {
    const std::vector<std::string> on_library = transcript_lines(run_keys(environment(), args, keys));
    const std::vector<std::string> on_simulator = transcript_lines(run_keys(sim_env, args, keys));
    EXPECT_EQ(on_simulator, on_library) << (args.empty() ? "default tuning" : "0 Hz");
  }

  // An unplug after about a second: the same lines, the library's own errors included.
  const std::vector<std::pair<std::string, std::string>> wait_gone = {{"", "Dongle gone"}, {"", "reg failed with -4\n"}};
  std::vector<std::string> sim_unplug = sim_env;
  sim_unplug[0] = "RXIQ_DONGLE=sim:unplug=40";
  EXPECT_EQ(transcript_lines(run_keys(sim_unplug, {}, wait_gone)),
            transcript_lines(run_keys(environment("unplug=1"), {}, wait_gone)));
}

TEST_F(RealDongle, HardwareOptionsReachTheRegisters) {
  PtyProcess rx(rxiq12, {"--bias-tee", "--direct-sampling", "q", "7100000"}, environment());
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Type V for user interface\n", 20s)) << rx.output();
  EXPECT_NE(rx.output().find("Bias tee on: the antenna input is powered\n"), std::string::npos) << rx.output();
  EXPECT_NE(rx.output().find("Enabled direct sampling mode, input 2\nDirect sampling from the Q input\n"),
            std::string::npos)
      << rx.output();
  EXPECT_TRUE(read_record().bias_tee);
  EXPECT_EQ(read_record().direct_sampling, 2);
  rx.send("\x1b");
  ASSERT_TRUE(WIFEXITED(rx.wait_exit(10s)));
  const UsbDongleRecord r = read_record();
  EXPECT_FALSE(r.bias_tee) << "switched off again at exit";
  EXPECT_TRUE(r.closed);

  // An R820T refuses offset tuning; the receiver says so and runs on.
  PtyProcess offset(rxiq12, {"--offset-tuning"}, environment());
  ASSERT_TRUE(wait_for_key_loop(offset)) << offset.output();
  EXPECT_TRUE(offset.wait_for("Offset tuning: this tuner has no use for it (R820T, R828D)\n", 20s)) << offset.output();
  EXPECT_TRUE(offset.wait_for("Type V for user interface\n", 20s)) << offset.output();
  offset.send("\x1b");
  EXPECT_TRUE(WIFEXITED(offset.wait_exit(10s)));
}

TEST_F(RealDongle, ThroughRtlTcpEveryKeyArrivesAsItsCommand) {
  const std::string rtl_tcp = find_program("rtl_tcp");
  if (rtl_tcp.empty()) GTEST_SKIP() << "rtl_tcp (package rtl-sdr) is not installed";
  uint16_t port = 0;
  {
    LoopbackListener free_port;
    port = free_port.port();
  }
  pid_t server = spawn_with_usb_dongle({rtl_tcp, "-a", "127.0.0.1", "-p", std::to_string(port)}, options(),
                                             dir + "/rtl_tcp.log");
  ASSERT_GT(server, 0);
  ASSERT_TRUE(poll_until([&] { return tcp_port_listening(port); }, 20s)) << read_file_text(dir + "/rtl_tcp.log");

  std::vector<std::string> env = {"RXIQ_DONGLE=tcp:127.0.0.1:" + std::to_string(port), "LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
  PtyProcess rx(rxiq12, {"--bias-tee"}, env);
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Type V for user interface\n", 20s)) << rx.output();
  auto record_has = [&](const std::function<bool(const UsbDongleRecord&)>& test) {
    return poll_until([&] { return test(read_record()); }, 10s);
  };
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.bias_tee; }));
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.tuned && std::fabs(r.tuned->rf_hz - 145725000) < 200; }));
  rx.send("\x1b[C\x1b[C\x1b[C");
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.tuned && std::fabs(r.tuned->rf_hz - 145725150) < 200; }));
  rx.send("m");
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.agc; }));
  rx.send("\x1b[4~");  // End: the gain one step down
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.gain && r.gain->manual && r.gain->db == 48.0; }));
  rx.send("n");  // manual to manual: the server's driver drops to 0 dB and the gain follows
  EXPECT_TRUE(rx.wait_for("\tuner_gain_mode = 2", 10s));
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return r.gain && r.gain->manual && r.gain->db == 48.0; }));
  rx.send("\x1b");
  ASSERT_TRUE(WIFEXITED(rx.wait_exit(10s))) << rx.output();
  EXPECT_TRUE(record_has([](const UsbDongleRecord& r) { return !r.bias_tee; })) << "switched off before leaving";
  stop_child(server);
}
