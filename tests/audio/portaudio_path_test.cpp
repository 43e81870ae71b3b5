// Channel 0 on a real sound server: a private PulseAudio daemon with a null sink (no
// card needed, tests/support/private_pulse.h), reached the way the receiver reaches any
// device, PortAudio through ALSA's pulse plugin. The sink's monitor is recorded with parecord, and the blocks
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
#include <mutex>
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
#include "tests/support/private_pulse.h"

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

constexpr int frame_rate = PrivatePulse::frame_rate;  // rxiq12's channel 0
constexpr int block_count = 6;
constexpr auto startup_limit = PrivatePulse::startup_limit;

template <class Done>
bool poll_until(Done done, std::chrono::seconds limit) {
  return PrivatePulse::poll_until(done, limit);
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
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(pulse_.start_server()); }
  void TearDown() override { pulse_.finish(HasFailure()); }

  void start_server() { pulse_.start_server(); }
  void start_recorder(const std::string& path) { pulse_.start_recorder(path); }

  PrivatePulse pulse_;
  const std::string dir_ = pulse_.dir();
};

TEST_F(PortAudioPath, BlocksComeBackInOrderAfterTheSilence) {
  const std::string recording = dir_ + "/monitor.raw";
  ASSERT_NO_FATAL_FAILURE(start_recorder(recording));

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

// The lines the worker says, kept for the test.
struct Notices {
  std::mutex mutex;
  std::string text;
  static void add(void* self, const char* line) {
    auto& n = *static_cast<Notices*>(self);
    std::lock_guard<std::mutex> lock(n.mutex);
    n.text += line;
  }
  bool has(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex);
    return text.find(part) != std::string::npos;
  }
};

// The sound server ends under a playing channel and starts again: the worker says the
// device is lost, refuses blocks meanwhile (counted), and once the server is back opens
// the device again and the sink carries sound again. The producer keeps writing all the
// time, as the DSP thread does, and none of its writes waits for the device.
TEST_F(PortAudioPath, SoundComesBackAfterTheServerRestarts) {
  AudioSlots slots;
  std::string name = "/rxiq_test_" + std::to_string(getpid()) + "_%d";
  slots.semaphore_name = name.c_str();
  Notices notices;
  slots.notice = Notices::add;
  slots.notice_context = &notices;
  ASSERT_EQ(audio_open(slots, 0, 1, frame_rate, 2, -1), 1) << "PortAudio did not open the sink";

  std::atomic<bool> producing{true};
  std::atomic<uint64_t> refused{0};
  std::thread producer([&] {
    const std::vector<uint8_t> sound = test_sound();
    for (int b = 0; producing.load(std::memory_order_relaxed); b = (b + 1) % block_count) {
      if (audio_write(slots, 0, sound.data() + static_cast<size_t>(b) * audio_block_bytes,
                      audio_block_bytes) == 0) {
        refused.fetch_add(1, std::memory_order_relaxed);
      }
      // About the pace of rxiq12's DSP thread: one block per 106.7 ms.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  pulse_.stop_server();
  bool lost = poll_until([&] { return notices.has("lost: sound stopped"); }, startup_limit);
  uint64_t refused_while_lost = 0;
  if (lost) {
    const uint64_t before = refused.load();
    poll_until([&] { return refused.load() > before + 2; }, startup_limit);
    refused_while_lost = refused.load() - before;
    start_server();
  }
  const bool back = lost && poll_until([&] { return notices.has(") back"); }, startup_limit);
  const std::string recording = dir_ + "/monitor-after.raw";
  bool sounds = false;
  if (back) {
    start_recorder(recording);  // a failure here is the test's, the producer still stops
    sounds = poll_until([&] {
      const std::vector<uint8_t> got = read_file(recording);
      return std::count_if(got.begin(), got.end(), [](uint8_t b) { return b != 0; }) > 4 * audio_block_bytes;
    }, startup_limit);
  }
  const AudioLosses losses = audio_losses(slots, 0);
  producing.store(false);
  producer.join();
  EXPECT_EQ(audio_close(slots, 0), 1);
  char semaphore[96];
  std::snprintf(semaphore, sizeof semaphore, name.c_str(), 0);
  named_semaphore_unlink(semaphore);

  ASSERT_TRUE(lost) << "no loss said; see " << dir_;
  EXPECT_GT(refused_while_lost, 2u);
  EXPECT_GE(losses.dropped, refused_while_lost) << "blocks refused while lost count as dropped";
  ASSERT_TRUE(back) << notices.text;
  EXPECT_TRUE(sounds) << "the sink is silent after the return";
}

}  // namespace
