// Channel 0 on a real sound server: a private PulseAudio daemon with a null sink (no
// card needed), reached the way the receiver reaches any device, PortAudio through
// ALSA's pulse plugin. The sink's monitor is recorded with parecord, and the blocks
// written to the channel must come back in order and unchanged after the silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/prctl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio/audio_channel.h"
#include "platform/named_semaphore.h"
#include "tests/support/child_process.h"

// The sound server's client library and ALSA are not built for ThreadSanitizer: it
// cannot see their own synchronisation and reports the memory they share between their
// threads as racing. Races with a frame in those libraries are theirs; our code, the
// device callback that PortAudio's thread runs included, is checked as everywhere
// else. Without ThreadSanitizer this function is never called.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse\n"
         "race:libasound\n";
}

namespace {

constexpr int frame_rate = 48000;  // rxiq12's channel 0
constexpr int block_count = 6;
constexpr auto startup_limit = std::chrono::seconds(30);
constexpr auto poll_interval = std::chrono::milliseconds(50);

template <class Done>
bool poll_until(Done done, std::chrono::seconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(poll_interval);
  }
  return true;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Blocks of stereo 16-bit frames with no zero sample, different in every block.
std::vector<uint8_t> test_sound() {
  std::vector<uint8_t> bytes(static_cast<size_t>(block_count) * audio_block_bytes);
  uint32_t x = 12345;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    x = x * 1664525u + 1013904223u;
    auto sample = static_cast<uint16_t>(x >> 16);
    if (sample == 0) sample = 1;
    bytes[i] = static_cast<uint8_t>(sample & 0xFF);
    bytes[i + 1] = static_cast<uint8_t>(sample >> 8);
  }
  return bytes;
}

class PortAudioPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rxiq-pulse-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // A session of its own: no user's sound server, no D-Bus, nothing in the real home.
    setenv("HOME", dir_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir_ + "/pulse/native").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
    mkdir((dir_ + "/config").c_str(), 0700);

    std::string sink = "module-null-sink sink_name=rxiq_test format=s16le channels=2 rate=" +
                       std::to_string(frame_rate);
    server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                     "--use-pid-file=no", "--system=no", "--disable-shm=yes",
                     "--log-target=stderr", "--load=" + sink,
                     "--load=module-native-protocol-unix"},
                    dir_ + "/pulseaudio.log");
    ASSERT_GT(server_, 0) << "cannot start pulseaudio";
    ASSERT_TRUE(poll_until([&] { return run({"pactl", "info"}, dir_ + "/pactl.log") == 0; },
                           startup_limit))
        << "the sound server did not come up; see " << dir_;
  }

  void TearDown() override {
    stop_child(recorder_);
    stop_child(server_);
    if (!HasFailure()) std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  pid_t server_ = -1;
  pid_t recorder_ = -1;
};

TEST_F(PortAudioPath, BlocksComeBackInOrderAfterTheSilence) {
  const std::string recording = dir_ + "/monitor.raw";
  recorder_ = spawn({"parecord", "--raw", "--format=s16le", "--channels=2",
                     "--rate=" + std::to_string(frame_rate), "--device=rxiq_test.monitor",
                     recording},
                    dir_ + "/parecord.log");
  ASSERT_GT(recorder_, 0);
  // An idle sink's monitor can take a while before it delivers anything.
  ASSERT_TRUE(poll_until([&] {
    std::error_code e;
    return std::filesystem::file_size(recording, e) > 0 && !e;
  }, startup_limit)) << "the monitor delivers nothing";

  AudioSlots slots;
  std::string name = "/rxiq_test_" + std::to_string(getpid()) + "_%d";
  slots.semaphore_name = name.c_str();
  ASSERT_EQ(audio_open(slots, 0, 1, frame_rate, 2, -1), 1) << "PortAudio did not open the sink";

  std::vector<uint8_t> sound = test_sound();
  for (int b = 0; b < block_count; ++b) {
    EXPECT_EQ(audio_write(slots, 0, sound.data() + static_cast<size_t>(b) * audio_block_bytes,
                          audio_block_bytes),
              audio_block_bytes);
  }

  // Find the first sound in the recording and wait until all of it is there.
  std::vector<uint8_t> got;
  size_t start = 0;
  bool complete = poll_until([&] {
    got = read_file(recording);
    size_t i = 0;
    while (i + 1 < got.size() && got[i] == 0 && got[i + 1] == 0) i += 2;
    start = i;
    return i + 1 < got.size() && got.size() - start >= sound.size();
  }, startup_limit);
  EXPECT_EQ(audio_close(slots, 0), 1);
  char semaphore[96];
  std::snprintf(semaphore, sizeof semaphore, name.c_str(), 0);
  named_semaphore_unlink(semaphore);
  ASSERT_TRUE(complete) << "only " << got.size() - start << " bytes of sound recorded";

  EXPECT_EQ(start % 4, 0u) << "sound begins on a frame";
  std::vector<uint8_t> heard(got.begin() + static_cast<long>(start),
                             got.begin() + static_cast<long>(start + sound.size()));
  for (int b = 0; b < block_count; ++b) {
    auto from = static_cast<long>(b) * audio_block_bytes;
    EXPECT_TRUE(std::equal(heard.begin() + from, heard.begin() + from + audio_block_bytes,
                           sound.begin() + from))
        << "block " << b << " differs";
  }
}

}  // namespace
