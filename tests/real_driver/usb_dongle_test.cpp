// The USB-level dongle emulator judged by librtlsdr's own tools (rtl_test, rtl_sdr,
// rtl_tcp) running on the real library above it, and by librtlsdr called directly from
// this program re-run with the emulator preloaded (the replugs and the cancelled
// asynchronous read).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <netinet/in.h>
#include <numbers>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/tone.h"
#include "tests/support/usb_dongle.h"

namespace {

using namespace std::chrono_literals;

bool have_tools() {
  return !find_program("rtl_test").empty() && !find_program("rtl_sdr").empty() && !find_program("rtl_tcp").empty();
}

class UsbDongle : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_tools()) GTEST_SKIP() << "librtlsdr's tools (package rtl-sdr) are not installed";
    char pattern[] = "/tmp/rxiq-usb-dongle-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) run_status("rm -rf '" + dir_ + "'");
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string text(const std::string& name) const {
    const auto bytes = read_bytes(path(name));
    return std::string(bytes.begin(), bytes.end());
  }

  std::string dir_;
};

// Where the strongest tone between from and to Hz lies in unsigned I/Q bytes: the
// first `pairs` pairs, under a Hann window.
double strongest(const std::vector<uint8_t>& bytes, double rate, double from, double to, size_t pairs = 60000) {
  pairs = std::min(pairs, bytes.size() / 2);
  std::vector<double> windowed(2 * pairs);
  for (size_t k = 0; k < pairs; ++k) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (k + 0.5) / static_cast<double>(pairs));
    windowed[2 * k] = w * (bytes[2 * k] - 127.5);
    windowed[2 * k + 1] = w * (bytes[2 * k + 1] - 127.5);
  }
  return strongest_tone(windowed, rate, from, to);
}

constexpr double carrier = 145735000;

TEST_F(UsbDongle, RtlTestFindsTheR820tWithItsGainsAndSerial) {
  UsbDongleOptions o;
  o.record = path("record");
  o.serial = "EMU42";
  EXPECT_EQ(run_with_usb_dongle({"rtl_test", "-t"}, o, path("log")), 0);
  const std::string log = text("log");
  EXPECT_NE(log.find("Realtek, RTL2838UHIDIR, SN: EMU42"), std::string::npos) << log;
  EXPECT_NE(log.find("Found Rafael Micro R820T tuner"), std::string::npos) << log;
  EXPECT_NE(log.find("Supported gain values (29): 0.0 0.9 1.4 2.7 3.7 7.7 8.7 12.5 14.4 15.7 16.6 19.7 20.7 "
                     "22.9 25.4 28.0 29.7 32.8 33.8 36.4 37.2 38.6 40.2 42.1 43.4 43.9 44.5 48.0 49.6"),
            std::string::npos)
      << log;
  // Asked for 0 Hz, the R820T cannot lock, and says so.
  EXPECT_NE(log.find("[R82XX] PLL not locked!"), std::string::npos) << log;
  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_TRUE(r.has("claim"));
  EXPECT_TRUE(r.has("release"));
  EXPECT_TRUE(r.exited && r.closed);
}

TEST_F(UsbDongle, RtlSdrGetsPacedSamplesWithTheCarrierWhereTheTuningLands) {
  const double rate = 1200000;
  const int n = 600000;
  UsbDongleOptions o;
  o.record = path("record");
  o.carrier_hz = carrier;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_with_usb_dongle({"rtl_sdr", "-f", "145725000", "-s", "1200000", "-n", std::to_string(n),
                                 path("capture.cu8")},
                                o, path("log")),
            0)
      << text("log");
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Never faster than the sample rate (the tool reads more than it writes, so at least
  // the samples written must have taken their time).
  EXPECT_GE(elapsed, n / rate * 0.95);

  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_DOUBLE_EQ(r.rate_hz, rate);
  ASSERT_TRUE(r.tuned);
  EXPECT_TRUE(r.tuned->locked);
  // The R820T's steps miss 145.725 MHz by a few hertz; the record says by how much.
  EXPECT_NEAR(r.tuned->rf_hz, 145725000, 50);
  EXPECT_NE(r.tuned->rf_hz, 145725000);
  EXPECT_TRUE(r.exited && r.closed);

  const auto bytes = read_bytes(path("capture.cu8"));
  ASSERT_EQ(bytes.size(), 2u * n);
  const double offset = carrier - r.tuned->rf_hz;
  EXPECT_NEAR(strongest(bytes, rate, 9000, 11000), offset, 1.0);
  const double amplitude = tone_amplitude(bytes, offset, rate);
  EXPECT_GT(amplitude, 20);
  EXPECT_LT(amplitude, 100);
}

TEST_F(UsbDongle, GainAndCrystalCorrectionReachTheSamples) {
  const double rate = 1200000;
  auto capture = [&](const std::string& name, std::vector<std::string> extra, double crystal_ppm = 0) {
    UsbDongleOptions o;
    o.crystal_ppm = crystal_ppm;
    std::vector<std::string> args{"rtl_sdr", "-f", "145725000", "-s", "1200000", "-n", "120000"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path(name + ".cu8"));
    o.record = path(name + ".record");
    o.carrier_hz = carrier;
    EXPECT_EQ(run_with_usb_dongle(args, o, path(name + ".log")), 0) << text(name + ".log");
    return read_usb_dongle_record(path(name + ".record"));
  };

  // Manual gain: the record names the steps, and the carrier grows with them.
  const UsbDongleRecord low = capture("low", {"-g", "0.9"});
  const UsbDongleRecord high = capture("high", {"-g", "49.6"});
  ASSERT_TRUE(low.gain && high.gain && low.tuned && high.tuned);
  EXPECT_TRUE(low.gain->manual && high.gain->manual);
  EXPECT_DOUBLE_EQ(low.gain->db, 0.9);
  EXPECT_DOUBLE_EQ(high.gain->db, 49.6);
  const double low_amplitude = tone_amplitude(read_bytes(path("low.cu8")), carrier - low.tuned->rf_hz, rate);
  const double high_amplitude = tone_amplitude(read_bytes(path("high.cu8")), carrier - high.tuned->rf_hz, rate);
  EXPECT_GT(high_amplitude, 5 * low_amplitude);

  // A crystal 40 ppm fast: uncorrected, the tuning lands about 5.8 kHz high; with -p 40
  // librtlsdr's correction brings it back (within the ~100 Hz that its kilohertz PLL
  // arithmetic and the IF it does not recompute leave), and in both the carrier sits
  // where the record says.
  const UsbDongleRecord off = capture("off", {}, 40);
  const UsbDongleRecord fixed = capture("fixed", {"-p", "40"}, 40);
  ASSERT_TRUE(off.tuned && fixed.tuned);
  EXPECT_NEAR(off.tuned->rf_hz - 145725000, 145725000 * 40e-6, 300);
  EXPECT_NEAR(fixed.tuned->rf_hz, 145725000, 300);
  EXPECT_EQ(fixed.correction_ppm, 40);
  EXPECT_NEAR(strongest(read_bytes(path("off.cu8")), rate, 2000, 6000), carrier - off.tuned->rf_hz, 1.0);
  EXPECT_NEAR(strongest(read_bytes(path("fixed.cu8")), rate, 9000, 11000), carrier - fixed.tuned->rf_hz, 1.0);
}

// A free loopback port, found by binding to port 0.
uint16_t free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  close(s);
  return ntohs(a.sin_port);
}

// Reads exactly n bytes within the limit; fewer if the peer closed or time ran out.
std::string receive(int s, size_t n, std::chrono::milliseconds limit = 10s) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[65536];
    const ssize_t got = recv(s, buffer, std::min(sizeof buffer, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

TEST_F(UsbDongle, RtlTcpServesTheEmulatedDongleAndSetsItsRegisters) {
  const uint16_t port = free_port();
  UsbDongleOptions o;
  o.record = path("record");
  pid_t pid = spawn_with_usb_dongle({"rtl_tcp", "-a", "127.0.0.1", "-p", std::to_string(port), "-s", "1200000"}, o,
                                    path("log"));
  ASSERT_GT(pid, 0);
  // rtl_tcp's "listening..." sits in its stdout buffer: try the port until it answers.
  int s = -1;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    close(s);
    s = -1;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(s, 0) << text("log");

  const std::string info = receive(s, 12);
  ASSERT_EQ(info.size(), 12u);
  EXPECT_EQ(info.substr(0, 4), "RTL0");
  uint32_t tuner = 0, gains = 0;
  std::memcpy(&tuner, info.data() + 4, 4);
  std::memcpy(&gains, info.data() + 8, 4);
  EXPECT_EQ(ntohl(tuner), 5u);  // RTLSDR_TUNER_R820T
  EXPECT_EQ(ntohl(gains), 29u);
  EXPECT_EQ(receive(s, 65536).size(), 65536u);

  // Commands are a byte and a big-endian 32-bit parameter.
  auto command = [&](uint8_t code, uint32_t parameter) {
    char bytes[5] = {static_cast<char>(code)};
    const uint32_t big_endian = htonl(parameter);
    std::memcpy(bytes + 1, &big_endian, 4);
    return send(s, bytes, sizeof bytes, 0) == 5;
  };
  // Waits for the record to satisfy `done`, reading samples meanwhile so that they flow.
  auto wait_record = [&](auto done) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
      if (done(read_usb_dongle_record(path("record")))) return true;
      receive(s, 65536, 100ms);
    }
    return false;
  };

  // Set the frequency (rtl_tcp starts at 100 MHz): the R820T tunes there.
  ASSERT_TRUE(command(0x01, 433920000));
  EXPECT_TRUE(wait_record([](const UsbDongleRecord& r) {
    return r.tuned && r.tuned->locked && std::abs(r.tuned->rf_hz - 433920000) < 50;
  })) << text("record");
  EXPECT_EQ(receive(s, 65536).size(), 65536u);

  // Manual gain of 49.6 dB, the demodulator's AGC, the bias tee, then direct sampling
  // from the Q input: each shows in the registers the record reads.
  ASSERT_TRUE(command(0x03, 1) && command(0x04, 496) && command(0x08, 1) && command(0x0e, 1) && command(0x09, 2));
  EXPECT_TRUE(wait_record([](const UsbDongleRecord& r) {
    return r.gain && r.gain->manual && r.gain->db == 49.6 && r.agc && r.bias_tee && r.direct_sampling == 2;
  })) << text("record");
  close(s);
  // rtl_tcp ends a session on a signal and then listens again; a signal while it is
  // listening ends it. Signal until it has gone.
  int status = 0;
  const auto end = std::chrono::steady_clock::now() + 15s;
  while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < end) {
    kill(pid, SIGTERM);
    std::this_thread::sleep_for(500ms);
  }
  stop_child(pid);
  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_TRUE(r.exited && r.closed) << text("record");
}

TEST_F(UsbDongle, FaultsShowAsTheToolsReportThem) {
  const std::string out = path("x.cu8");
  auto run = [&](const std::string& name, const std::vector<std::string>& args, const std::string& fault) {
    UsbDongleOptions o;
    o.record = path(name + ".record");
    o.fault = fault;
    const int status = run_with_usb_dongle(args, o, path(name + ".log"));
    return std::make_pair(status, read_usb_dongle_record(path(name + ".record")));
  };

  auto [none_status, none] = run("none", {"rtl_test", "-t"}, "no-device");
  EXPECT_NE(none_status, 0);
  EXPECT_NE(text("none.log").find("No supported devices found"), std::string::npos) << text("none.log");
  EXPECT_FALSE(none.has("open"));

  auto [busy_status, busy] = run("busy", {"rtl_sdr", "-n", "1000", out}, "busy");
  EXPECT_NE(busy_status, 0);
  EXPECT_NE(text("busy.log").find("usb_claim_interface error -6"), std::string::npos) << text("busy.log");
  EXPECT_TRUE(busy.has("claim-failed busy"));

  auto [access_status, access] = run("access", {"rtl_sdr", "-n", "1000", out}, "access");
  EXPECT_NE(access_status, 0);
  EXPECT_NE(text("access.log").find("usb_open error -3"), std::string::npos) << text("access.log");
  EXPECT_TRUE(access.has("open-failed access"));

  // The third synchronous read fails once; rtl_sdr stops there.
  auto [read_status, read] = run("read", {"rtl_sdr", "-S", "-n", "1000000", out}, "read-error=3");
  EXPECT_NE(text("read.log").find("WARNING: sync read failed."), std::string::npos) << text("read.log");
  EXPECT_TRUE(read.has("read-error 3"));
  EXPECT_TRUE(read.exited && read.closed);

  // Unplugged while streaming asynchronously: the transfers end with "no device" and
  // rtl_sdr gives up on its own, long before its 60 s of samples.
  auto [unplug_status, unplug] = run("unplug", {"rtl_sdr", "-n", "72000000", out}, "unplug=0.5");
  EXPECT_NE(text("unplug.log").find("cb transfer status: 5, canceling..."), std::string::npos) << text("unplug.log");
  EXPECT_TRUE(unplug.has("unplug"));
  EXPECT_TRUE(unplug.exited);

  // The DVB driver is bound: librtlsdr detaches it, or cannot claim the device.
  auto [kernel_status, kernel] = run("kernel", {"rtl_sdr", "-n", "1000", out}, "kernel-driver");
  if (kernel.has("detach-kernel-driver")) {
    EXPECT_EQ(kernel_status, 0) << text("kernel.log");
    EXPECT_TRUE(kernel.has("attach-kernel-driver"));
  } else {
    EXPECT_NE(kernel_status, 0);
    EXPECT_NE(text("kernel.log").find("Kernel driver is active"), std::string::npos) << text("kernel.log");
    EXPECT_TRUE(kernel.has("claim-failed kernel-driver"));
  }
}

// This program again, with the emulator preloaded, running one UsbDongleChild test.
void run_child(const std::string& test, const std::string& fault, const std::string& record,
               const std::string& presence = "") {
  UsbDongleOptions o;
  o.record = record;
  o.fault = fault;
  o.presence = presence;
  std::vector<std::string> args{"/proc/self/exe", "--gtest_filter=UsbDongleChild." + test};
  const std::string log = record + ".log";
  pid_t pid = spawn_with_usb_dongle(args, o, log);
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  const auto bytes = read_bytes(log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::string(bytes.begin(), bytes.end());
}

TEST_F(UsbDongle, LibrtlsdrOpensAfreshAfterAReplug) {
  run_child("ReplugAndReopen", "unplug=0.3,replug=0.3", path("record"));
  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_EQ(r.count("open"), 2) << text("record");
  EXPECT_TRUE(r.has("unplug") && r.has("replug"));
  EXPECT_TRUE(r.exited && r.closed);
}

TEST_F(UsbDongle, ThePresenceFileUnplugsAndReplugsAtWill) {
  run_child("PresenceFile", "", path("record"), path("presence"));
  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_EQ(r.count("open"), 3) << text("record");
  EXPECT_EQ(r.count("unplug"), 2) << text("record");
  EXPECT_EQ(r.count("replug"), 2) << text("record");
  EXPECT_TRUE(r.exited && r.closed) << text("record");
}

TEST_F(UsbDongle, AsynchronousReadCancelledFromAnotherThread) {
  run_child("AsyncCancel", "", path("record"));
  const UsbDongleRecord r = read_usb_dongle_record(path("record"));
  EXPECT_TRUE(r.exited && r.closed) << text("record");
}

// librtlsdr, loaded as the receiver loads it, under the preloaded emulator.
struct Librtlsdr {
  void* lib = dlopen("librtlsdr.so.0", RTLD_NOW);
  template <typename F>
  F* get(const char* name) {
    return lib ? reinterpret_cast<F*>(dlsym(lib, name)) : nullptr;
  }
  uint32_t (*device_count)() = get<uint32_t()>("rtlsdr_get_device_count");
  int (*open)(void**, uint32_t) = get<int(void**, uint32_t)>("rtlsdr_open");
  int (*close)(void*) = get<int(void*)>("rtlsdr_close");
  int (*set_rate)(void*, uint32_t) = get<int(void*, uint32_t)>("rtlsdr_set_sample_rate");
  int (*set_frequency)(void*, uint32_t) = get<int(void*, uint32_t)>("rtlsdr_set_center_freq");
  int (*reset_buffer)(void*) = get<int(void*)>("rtlsdr_reset_buffer");
  int (*read_sync)(void*, void*, int, int*) = get<int(void*, void*, int, int*)>("rtlsdr_read_sync");
  using Callback = void(unsigned char*, uint32_t, void*);
  int (*read_async)(void*, Callback*, void*, uint32_t, uint32_t) =
      get<int(void*, Callback*, void*, uint32_t, uint32_t)>("rtlsdr_read_async");
  int (*cancel_async)(void*) = get<int(void*)>("rtlsdr_cancel_async");

  void* start() {
    void* dev = nullptr;
    if (open(&dev, 0) != 0) return nullptr;
    set_rate(dev, 1200000);
    set_frequency(dev, 145725000);
    reset_buffer(dev);
    return dev;
  }
};

bool in_child() { return std::getenv("RXIQ_USB_RECORD") && std::getenv("LD_PRELOAD"); }

TEST(UsbDongleChild, ReplugAndReopen) {
  if (!in_child()) GTEST_SKIP() << "run by UsbDongle.LibrtlsdrOpensAfreshAfterAReplug";
  Librtlsdr rtl;
  ASSERT_TRUE(rtl.lib && rtl.open && rtl.read_sync) << dlerror();
  void* dev = rtl.start();
  ASSERT_NE(dev, nullptr);
  std::vector<uint8_t> block(65536);
  int n = 0, r = 0;
  for (int i = 0; i < 1000 && (r = rtl.read_sync(dev, block.data(), 65536, &n)) == 0; ++i) {
  }
  EXPECT_EQ(r, -4);  // LIBUSB_ERROR_NO_DEVICE
  rtl.close(dev);
  EXPECT_EQ(rtl.device_count(), 0u);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (rtl.device_count() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  dev = rtl.start();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(rtl.read_sync(dev, block.data(), 65536, &n), 0);
  EXPECT_EQ(n, 65536);
  rtl.close(dev);
}

// Writes the presence file as a soak does: whole, by a rename.
void say_presence(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary);
    out << text << "\n";
  }
  ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
}

TEST(UsbDongleChild, PresenceFile) {
  const char* presence = std::getenv("RXIQ_USB_PRESENCE");
  if (!in_child() || !presence) GTEST_SKIP() << "run by UsbDongle.ThePresenceFileUnplugsAndReplugsAtWill";
  Librtlsdr rtl;
  ASSERT_TRUE(rtl.lib && rtl.open && rtl.read_sync) << dlerror();
  std::vector<uint8_t> block(65536);
  // Twice, so that a second unplug of a replugged device works as the first: plugged back
  // once by other text and once by removing the file.
  for (const char* back : {"present", ""}) {
    void* dev = rtl.start();
    ASSERT_NE(dev, nullptr);
    int n = 0, r = 0;
    EXPECT_EQ(rtl.read_sync(dev, block.data(), 65536, &n), 0);
    say_presence(presence, " absent ");
    for (int i = 0; i < 1000 && (r = rtl.read_sync(dev, block.data(), 65536, &n)) == 0; ++i) {
    }
    EXPECT_EQ(r, -4);  // LIBUSB_ERROR_NO_DEVICE
    rtl.close(dev);
    EXPECT_EQ(rtl.device_count(), 0u);
    if (*back) {
      say_presence(presence, back);
    } else {
      ASSERT_EQ(std::remove(presence), 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rtl.device_count() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(rtl.device_count(), 1u);
  }
  void* dev = rtl.start();
  ASSERT_NE(dev, nullptr);
  int n = 0;
  EXPECT_EQ(rtl.read_sync(dev, block.data(), 65536, &n), 0);
  EXPECT_EQ(n, 65536);
  rtl.close(dev);
}

TEST(UsbDongleChild, AsyncCancel) {
  if (!in_child()) GTEST_SKIP() << "run by UsbDongle.AsynchronousReadCancelledFromAnotherThread";
  Librtlsdr rtl;
  ASSERT_TRUE(rtl.lib && rtl.read_async) << dlerror();
  void* dev = rtl.start();
  ASSERT_NE(dev, nullptr);
  static std::atomic<int> blocks{0};
  std::thread reader([&] {
    rtl.read_async(dev, [](unsigned char*, uint32_t, void*) { blocks.fetch_add(1, std::memory_order_relaxed); },
                   nullptr, 4, 16384);
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (blocks.load(std::memory_order_relaxed) < 10 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_GE(blocks.load(std::memory_order_relaxed), 10);
  EXPECT_EQ(rtl.cancel_async(dev), 0);
  reader.join();
  rtl.close(dev);
}

}  // namespace
