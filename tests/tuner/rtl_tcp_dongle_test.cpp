// The network dongle against a server written here: one accepted connection, a header
// chosen by the test, then bytes taken from the simulator, sent cut at random points,
// and every byte the client sends recorded.
#include "tuner/rtl_tcp_dongle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/print_console.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/text_search.h"
#include "simulator/sim_dongle.h"
#include "tuner/tuner_thread.h"

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

std::vector<uint8_t> header(const char* magic, uint32_t tuner, uint32_t gains) {
  std::vector<uint8_t> h(magic, magic + 4);
  for (uint8_t b : be32(tuner)) h.push_back(b);
  for (uint8_t b : be32(gains)) h.push_back(b);
  return h;
}

std::vector<uint8_t> command(uint8_t code, uint32_t parameter) {
  std::vector<uint8_t> c{code};
  for (uint8_t b : be32(parameter)) c.push_back(b);
  return c;
}

// n bytes of the simulated dongle at the receiver's settings.
std::vector<uint8_t> sim_stream(size_t n) {
  SimDongle sim(sim_dongle_choice(), false);
  Dongle* dev = nullptr;
  sim.open(&dev, 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, 496);
  sim.set_center_freq(dev, 145725000);
  sim.set_sample_rate(dev, 1200000);
  sim.set_freq_correction(dev, 48);
  std::vector<uint8_t> bytes(n);
  int n_read = 0;
  sim.read_sync(dev, bytes.data(), static_cast<int>(n), &n_read);
  return bytes;
}

struct FakeServer {
  enum class End { hold, close };

  LoopbackListener listener;
  std::vector<uint8_t> head = header("RTL0", 5, 29);
  std::vector<uint8_t> stream;
  bool repeat = false;  // send the stream over and over
  End end = End::hold;  // what follows the last byte when not repeating

  std::atomic<bool> stop{false};
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<uint8_t> received;
  std::thread thread;

  void start() {
    thread = std::thread([this] { run(); });
  }

  ~FakeServer() {
    stop.store(true);
    if (thread.joinable()) thread.join();
  }

  // Waits until n bytes have come from the client (10 s at most) and returns all so far.
  std::vector<uint8_t> commands(size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    arrived.wait_for(hold, 10s, [&] { return received.size() >= n; });
    return received;
  }

  void take_commands(int fd) {
    uint8_t bytes[256];
    ssize_t r;
    while ((r = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) {
      std::lock_guard<std::mutex> hold(lock);
      received.insert(received.end(), bytes, bytes + r);
      arrived.notify_all();
    }
  }

  void run() {
    int fd = -1;
    while (fd < 0 && !stop.load()) fd = listener.accept_one(50ms);
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<uint8_t> all = head;
    all.insert(all.end(), stream.begin(), stream.end());
    const size_t start_of_stream = head.size();
    std::mt19937 cuts(7);
    size_t at = 0;
    while (!stop.load()) {
      take_commands(fd);
      if (at == all.size()) {
        if (repeat && !stream.empty()) {
          at = start_of_stream;
        } else if (end == End::close) {
          // Closed for sending only, and still reading: closing with the client's
          // commands unread would reset the connection and take the stream with it.
          ::shutdown(fd, SHUT_WR);
          uint8_t peek = 0;
          while (!stop.load() && ::recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) != 0) {
            take_commands(fd);
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 50);
          }
          break;
        } else {
          pollfd p{fd, POLLIN, 0};
          ::poll(&p, 1, 50);
          continue;
        }
      }
      size_t piece = std::min<size_t>(all.size() - at, cuts() % 20000 + 1);
      ssize_t sent = ::send(fd, all.data() + at, piece, MSG_NOSIGNAL);
      if (sent > 0) {
        at += static_cast<size_t>(sent);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd, POLLOUT | POLLIN, 0};
        ::poll(&p, 1, 50);
      } else {
        break;
      }
    }
    ::close(fd);
  }
};

// A tuner thread on a network dongle, run on its own thread.
struct TcpRig {
  RxState state{rxiq12_variant};
  RtlTcpDongle dongle;
  std::unique_ptr<SampleRing> ring = std::make_unique<SampleRing>();
  ConsoleCapture console;
  std::thread thread;

  explicit TcpRig(uint16_t port) : dongle(tcp_choice(port)) {
    print_console_set_charset("UTF-8");
  }
  ~TcpRig() {
    state.running.store(0);
    join();
  }

  DongleOptions options;
  TunerLinks links() {
    TunerLinks l{state, rxiq12_variant, dongle, *ring};
    l.options = options;
    return l;
  }

  void start() {
    thread = std::thread([this] { tuner_thread(links()); });
  }
  void join() {
    if (thread.joinable()) thread.join();
  }
  // Runs the thread to its end on the test's own thread.
  void run() { tuner_thread(links()); }

  bool wait_for_blocks(uint64_t n) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ring->ring_stores.load() < n && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    return ring->ring_stores.load() >= n;
  }
};

std::string gains_line() {
  std::string line = "Supported gains are:";
  char number[32];
  for (int g : sim_r820t_gains) {
    std::snprintf(number, sizeof number, " %.2f", g * 0.1);
    line += number;
  }
  return line + "\n";
}

}  // namespace

std::vector<uint8_t> joined(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(RtlTcpDongle, ListsConfiguresAndSendsEveryKeyCommandAsFiveBytes) {
  FakeServer server;
  server.stream = sim_stream(200000);
  server.repeat = true;
  server.start();
  TcpRig rig(server.listener.port());
  rig.start();

  // Start-up, then the first pass setting the top gain.
  std::vector<uint8_t> expected;
  for (auto c : {command(0x03, 1), command(0x04, 12000000), command(0x08, 0),
                 command(0x01, 145725000), command(0x02, 1200000), command(0x05, 48),
                 command(0x04, 496)}) {
    expected.insert(expected.end(), c.begin(), c.end());
  }
  EXPECT_EQ(server.commands(expected.size()), expected);

  // What each key requests, one at a time: retune, gain mode (a manual one followed by
  // the gain shown, which the server's driver has just put to 0 dB), gain step, AGC.
  struct Key {
    std::function<void()> press;
    std::vector<uint8_t> bytes;
  };
  RxState& s = rig.state;
  const Key keys[] = {
      {[&] { s.frequency.store(145725050); }, command(0x01, 145725050)},
      {[&] { s.tuner_gain_mode.store(2); }, joined(command(0x03, 2), command(0x04, 496))},
      {[&] { s.gain_index.store(27); }, command(0x04, 480)},
      {[&] { s.gain_index.store(0); }, command(0x04, 0)},
      {[&] { s.agc_mode.store(1); }, command(0x08, 1)},
      {[&] { s.tuner_gain_mode.store(0); }, command(0x03, 0)},
  };
  for (const Key& key : keys) {
    key.press();
    expected.insert(expected.end(), key.bytes.begin(), key.bytes.end());
    ASSERT_EQ(server.commands(expected.size()), expected);
  }
  s.running.store(0);
  rig.join();
  EXPECT_EQ(server.commands(expected.size()).size(), expected.size()) << "nothing more sent";

  const std::string where = "127.0.0.1:" + std::to_string(server.listener.port());
  const std::string text = rig.console.text();
  const std::string start = "Found 1 devices:\n"
                            "\t0: rtl_tcp, " + where + ", SN: R820T\n"
                            "Using device 0: " + where + "\n" +
                            gains_line() +
                            "\nSet gain to 1200000.00\n"
                            "offset_tuning = -1\n"
                            "Tuned to 145725000\n"
                            "ppm = 48\n"
                            "Type V for user interface\n"
                            "Set gain \n49.60\n";
  EXPECT_EQ(text.substr(0, start.size()), start);
  EXPECT_NE(text.find("\tuner_gain_mode = 2 "), std::string::npos);
  EXPECT_NE(text.find("Set gain \n48.00\n"), std::string::npos);
  EXPECT_NE(text.find("\noffset_tuning = 1 "), std::string::npos);
  EXPECT_EQ(text.find("sync_read failed."), std::string::npos);
  EXPECT_EQ(s.stream_stop.load(), 1);
}

TEST(RtlTcpDongle, BlocksAreTheStreamExactlyHoweverItIsCut) {
  FakeServer server;
  const size_t blocks = 6;
  server.stream = sim_stream(discarded_read_bytes + blocks * read_block_bytes + 1001);
  server.end = FakeServer::End::close;  // in the middle of the seventh block
  server.start();

  RtlTcpDongle dongle(tcp_choice(server.listener.port()));
  ConsoleCapture console;
  ASSERT_EQ(dongle.get_device_count(), 1u);
  Dongle* dev = nullptr;
  ASSERT_EQ(dongle.open(&dev, 0), 0) << console.text();
  std::vector<uint8_t> block(read_block_bytes);
  int n_read = 0;
  ASSERT_EQ(dongle.read_sync(dev, block.data(), discarded_read_bytes, &n_read), 0);
  EXPECT_EQ(n_read, discarded_read_bytes);
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + discarded_read_bytes, server.stream.begin()));
  for (size_t b = 0; b < blocks; ++b) {
    ASSERT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), 0) << b;
    EXPECT_EQ(n_read, read_block_bytes);
    const auto from = server.stream.begin() + discarded_read_bytes +
                      static_cast<long>(b * read_block_bytes);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), from)) << "block " << b;
  }
  // The connection closes mid-block: the dongle is gone, and stays gone.
  EXPECT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), dongle_gone_result);
  EXPECT_EQ(n_read, 1001);
  EXPECT_EQ(dongle.read_sync(dev, block.data(), read_block_bytes, &n_read), dongle_gone_result);
  EXPECT_LT(dongle.set_center_freq(dev, 145000000), 0);
  EXPECT_EQ(dongle.close(dev), 0);
  EXPECT_EQ(console.text(), "");
}

TEST(RtlTcpDongle, GainListOnlyWhenTheCountMatchesTheTuner) {
  struct Case {
    uint32_t tuner, count;
    int expected;  // entries listed
    int first;
    const char* serial;
  };
  const Case cases[] = {{5, 29, 29, 0, "R820T"},   {6, 29, 29, 0, "R828D"},
                        {1, 14, 14, -10, "E4000"}, {2, 5, 5, -99, "FC0012"},
                        {3, 23, 23, -99, "FC0013"}, {4, 1, 1, 0, "FC2580"},
                        {5, 28, 0, 0, "R820T"},    {1, 29, 0, 0, "E4000"},
                        {77, 1, 1, 0, "unknown"},   {5, 0, 0, 0, "R820T"}};
  for (const Case& c : cases) {
    FakeServer server;
    server.head = header("RTL0", c.tuner, c.count);
    server.start();
    RtlTcpDongle dongle(tcp_choice(server.listener.port()));
    dongle.get_device_count();
    char manufact[usb_string_size], product[usb_string_size], serial[usb_string_size];
    dongle.get_device_usb_strings(0, manufact, product, serial);
    EXPECT_STREQ(serial, c.serial);
    Dongle* dev = nullptr;
    ASSERT_EQ(dongle.open(&dev, 0), 0);
    std::vector<int> gains(static_cast<size_t>(max_gains), 12345);
    EXPECT_EQ(dongle.get_tuner_gains(dev, nullptr), c.expected) << c.tuner << "/" << c.count;
    EXPECT_EQ(dongle.get_tuner_gains(dev, gains.data()), c.expected);
    if (c.expected > 0) {
      EXPECT_EQ(gains[0], c.first);
    }
    EXPECT_EQ(gains[static_cast<size_t>(c.expected)], 12345) << "nothing written past the list";
    dongle.close(dev);
  }
}

TEST(RtlTcpDongle, RefusedOrBrokenHeadersFailTheOpenWithTheirReason) {
  struct Case {
    std::vector<uint8_t> head;
    FakeServer::End end;
    std::string reason;
  };
  std::vector<uint8_t> cut = header("RTL0", 5, 29);
  cut.resize(7);
  const Case cases[] = {
      {header("RTL1", 5, 29), FakeServer::End::hold, "not an rtl_tcp server (no RTL0 header)"},
      {cut, FakeServer::End::close, "connection closed before the header"},
      {cut, FakeServer::End::hold, "no header: Connection timed out"},
      {header("RTL0", 5, 5000), FakeServer::End::hold, "the header lists 5000 gains, more than 100"},
      {header("RTL0", 5, 0xffffffffu), FakeServer::End::hold,
       "the header lists 4294967295 gains, more than 100"},
  };
  for (const Case& c : cases) {
    FakeServer server;
    server.head = c.head;
    server.end = c.end;
    server.start();
    TcpRig rig(server.listener.port());
    rig.dongle.stall_limit = 200ms;
    rig.run();
    const std::string where = "127.0.0.1:" + std::to_string(server.listener.port());
    const std::string text = rig.console.text();
    EXPECT_NE(text.find("\t0: rtl_tcp, " + where + ", SN: \n"), std::string::npos) << text;
    EXPECT_NE(text.find("rtl_tcp " + where + ": " + c.reason + "\nFailed to open device #0\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(rig.state.device.load(), nullptr);
  }

  // Nothing listens: the system's reason.
  LoopbackListener closed(false);
  TcpRig rig(closed.port());
  rig.run();
  const std::string where = "127.0.0.1:" + std::to_string(closed.port());
  EXPECT_NE(rig.console.text().find("rtl_tcp " + where +
                                    ": Connection refused\nFailed to open device #0\n"),
            std::string::npos)
      << rig.console.text();
}

TEST(RtlTcpDongle, StalledOrClosedStreamTakesTheGonePathOnce) {
  for (FakeServer::End end : {FakeServer::End::hold, FakeServer::End::close}) {
    FakeServer server;
    server.stream = sim_stream(discarded_read_bytes + 3 * read_block_bytes + 777);
    server.end = end;
    server.start();
    TcpRig rig(server.listener.port());
    rig.dongle.stall_limit = 200ms;
    rig.options.reconnect = false;  // the server is not looked for again
    rig.run();  // ends by itself
    const std::string text = rig.console.text();
    EXPECT_EQ(count_of(text, dongle_gone_text), 1u) << (end == FakeServer::End::hold ? "stall\n" : "close\n") << text;
    EXPECT_EQ(text.find("sync_read failed."), std::string::npos);
    EXPECT_EQ(rig.ring->ring_stores.load(), 3u);
    EXPECT_EQ(rig.state.stream_stop.load(), 1);
  }
}

TEST(RtlTcpDongle, ShutdownEndsAWaitForAServerThatNeverAnswers) {
  // Connected into the backlog of a listener that never accepts: no header ever comes.
  {
    LoopbackListener silent;
    TcpRig rig(silent.port());
    rig.dongle.stall_limit = std::chrono::hours(1);
    rig.start();
    ASSERT_TRUE(silent.pending(10s));
    rig.state.running.store(0);
    rig.join();
    const std::string text = rig.console.text();
    EXPECT_NE(text.find("Failed to open device #0\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("rtl_tcp 127.0.0.1"), std::string::npos) << "no failure of its own";
  }
  // Streaming, then silence.
  {
    FakeServer server;
    server.stream = sim_stream(discarded_read_bytes + read_block_bytes + 5);
    server.start();
    TcpRig rig(server.listener.port());
    rig.dongle.stall_limit = std::chrono::hours(1);
    rig.start();
    ASSERT_TRUE(rig.wait_for_blocks(1));
    rig.state.running.store(0);
    rig.join();
    const std::string text = rig.console.text();
    EXPECT_EQ(text.find(dongle_gone_text), std::string::npos) << text;
    EXPECT_EQ(text.find("sync_read failed."), std::string::npos) << text;
    EXPECT_EQ(rig.state.stream_stop.load(), 1);
  }
}
