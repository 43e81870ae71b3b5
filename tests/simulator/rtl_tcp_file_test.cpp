// rxiq-sim --tcp --file: a recording served over rtl_tcp through the file dongle, read by
// the receiver's network dongle.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/rtl_tcp_server.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"
#include "tuner/rtl_tcp_dongle.h"
#include "tuner/tuner_thread.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Three blocks of the unpaced simulator at the receiver's start-up tuning, raw.
struct Recorded {
  fs::path path = fs::temp_directory_path() / ("rxiq-served-" + std::to_string(getpid()) + ".cu8");
  std::vector<uint8_t> bytes;
  Recorded() {
    SimDongle sim(sim_dongle_choice(), false);
    Dongle* dev = nullptr;
    EXPECT_EQ(sim.open(&dev, 0), 0);
    sim.set_center_freq(dev, initial_frequency);
    sim.set_sample_rate(dev, 1200000);
    bytes.resize(3 * read_block_bytes);
    int n = 0;
    sim.read_sync(dev, bytes.data(), static_cast<int>(bytes.size()), &n);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  }
  ~Recorded() { fs::remove(path); }
};

// The server on a free loopback port, unpaced, on its own thread, stopped and joined
// however the test ends.
struct FileServer {
  RtlTcpServer server;
  FILE* log = std::tmpfile();
  std::atomic<int> status{-1};
  std::thread thread;
  explicit FileServer(const std::string& value) {
    server.port = 0;
    EXPECT_TRUE(parse_dongle_choice(value.c_str(), server.choice));
    server.paced = false;
    server.messages = log;
    thread = std::thread([this] { status.store(rtl_tcp_serve(server)); });
    while (server.bound_port.load() == 0 && status.load() == -1) std::this_thread::yield();
  }
  ~FileServer() {
    server.stop.store(true);
    end();
    std::fclose(log);
  }
  // Waits for the server to end (stopped, or ended by itself).
  int end() {
    if (thread.joinable()) thread.join();
    return status.load();
  }
  std::string messages() {
    std::string said(4096, '\0');
    std::rewind(log);
    said.resize(std::fread(said.data(), 1, said.size(), log));
    return said;
  }
};

}  // namespace

// The client receives the recording's bytes in order, then the server ends as when its
// dongle is unplugged, and the client sees its dongle gone. The client sends no command:
// the unpaced server may have sent the whole recording and closed before one arrives.
TEST(RtlTcpFile, ServesTheRecordingToTheNetworkDongle) {
  Recorded recorded;
  ConsoleCapture console;  // outlives the server, which prints the end of the recording
  FileServer run("file:" + recorded.path.string() + ",rate=1200000");
  RtlTcpDongle dongle(tcp_choice(static_cast<uint16_t>(run.server.bound_port.load())));
  ASSERT_EQ(dongle.get_device_count(), 1u);
  Dongle* dev = nullptr;
  ASSERT_EQ(dongle.open(&dev, 0), 0) << console.text();
  std::vector<uint8_t> got(recorded.bytes.size());
  int n_read = 0;
  for (size_t at = 0; at < got.size(); at += read_block_bytes) {
    ASSERT_EQ(dongle.read_sync(dev, got.data() + at, read_block_bytes, &n_read), 0) << console.text();
  }
  EXPECT_TRUE(got == recorded.bytes) << "the recording's bytes, in order";
  EXPECT_EQ(dongle.read_sync(dev, got.data(), read_block_bytes, &n_read), dongle_gone_result);
  dongle.close(dev);
  EXPECT_EQ(run.end(), 1);
  EXPECT_NE(run.messages().find("rxiq-sim: the recording has ended; client 127.0.0.1:"), std::string::npos)
      << run.messages();
  EXPECT_NE(console.text().find("End of recording " + recorded.path.filename().string() + "\n"), std::string::npos);
}

TEST(RtlTcpFile, RxiqSimRefusesARecordingItCannotPlay) {
  const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq-sim";
  PtyProcess sim(program, {"--tcp", "127.0.0.1:0", "--file", "/nonexistent/x.cu8,rate=1200000"}, {});
  int status = sim.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(sim.output().find("rxiq-sim: x.cu8: no such file (/nonexistent/x.cu8)"), std::string::npos)
      << sim.output();
  PtyProcess bad(program, {"--tcp", "--file"}, {});
  status = bad.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(bad.output().find("usage: rxiq-sim --tcp [ADDRESS:]PORT [--file PATH"), std::string::npos);
}
