// winmm's wave devices. With a sound server behind Wine (a null sink as the default
// output, its monitor as the default recording device), what channel 0 plays comes back
// through a capture device of the same back end: the blocks written to the channel must
// come back in order and unchanged after the silence. Without any wave device (CI runs
// Wine with its sound drivers off) the tests that need one skip themselves.
//
// Under Wine the loopback passes on an idle machine, but with the cores busy Wine's own
// mixer now and then puts a few milliseconds of silence between the device and the sound
// server, so it runs only when asked (RXIQ_WINE_LOOPBACK=1): scripts/test-windows asks
// once the parallel test run is over, with a sound server of its own and a few tries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>
#include <mmsystem.h>

#include "audio/audio_channel.h"
#include "control/receiver.h"
#include "core/print_console.h"
#include "platform/named_semaphore.h"
#include "platform/wave_device.h"
#include "tests/support/console_capture.h"
#include "variants/variant.h"

namespace {

constexpr int frame_rate = 48000;  // rxiq12's channel 0
constexpr int block_count = 6;
constexpr int device_wait_ms = 2000;
// Generous: an idle sink's monitor can take a while to deliver anything.
constexpr int recording_limit_blocks = 400;
constexpr int max_silent_waits = 15;

WaveFormat stereo() {
  WaveFormat f;
  f.channels = 2;
  f.sample_rate = frame_rate;
  return f;
}

// Distinct, never silent samples, so a lost, repeated or reordered stretch shows.
std::vector<uint8_t> test_sound() {
  std::vector<uint8_t> sound(static_cast<size_t>(block_count) * audio_block_bytes);
  for (size_t i = 0; i + 1 < sound.size(); i += 2) {
    const int v = static_cast<int>((i / 2) % 30011) + 1 - ((i / 2) % 2 ? 15000 : 0);
    const auto s = static_cast<uint16_t>(static_cast<int16_t>(v));
    sound[i] = static_cast<uint8_t>(s & 0xff);
    sound[i + 1] = static_cast<uint8_t>(s >> 8);
  }
  return sound;
}

// Records from the default capture device while `play` runs, until `wanted` bytes
// after the first sound are there or the limit passes. The bytes from the first sound.
template <class Play>
std::vector<uint8_t> record_sound(size_t wanted, Play play) {
  std::unique_ptr<WaveDevice> in =
      system_wave_backend().open(WaveDirection::capture, -1, stereo(), audio_block_bytes);
  if (!in) {
    ADD_FAILURE() << "no capture device opens";
    return {};
  }
  std::vector<uint8_t> block(audio_block_bytes);
  in->queue(block.data(), audio_block_bytes);
  in->queue(block.data(), audio_block_bytes);
  in->start();
  EXPECT_TRUE(in->wait(device_wait_ms)) << "no signal for the opening";
  std::vector<uint8_t> got;
  bool played = false;
  size_t start = std::string::npos;
  int silent_waits = 0;
  for (int n = 0; n < recording_limit_blocks; ++n) {
    if (!in->wait(device_wait_ms) || !in->take(block.data(), audio_block_bytes)) {
      // An idle sink's monitor can take a while before it delivers anything.
      if (++silent_waits < max_silent_waits) continue;
      ADD_FAILURE() << "the capture device returned nothing";
      break;
    }
    got.insert(got.end(), block.begin(), block.end());
    in->queue(block.data(), audio_block_bytes);
    if (!played) {
      play();  // once the recording runs, so nothing is played before it
      played = true;
    }
    if (start == std::string::npos) {
      size_t i = 0;
      while (i + 1 < got.size() && got[i] == 0 && got[i + 1] == 0) i += 2;
      if (i + 1 < got.size()) start = i;
    }
    if (start != std::string::npos && got.size() - start >= wanted) {
      in->reset();
      return {got.begin() + static_cast<long>(start),
              got.begin() + static_cast<long>(start + wanted)};
    }
  }
  in->reset();
  return {};
}

}  // namespace

TEST(WinmmLoopback, BlocksOfChannelZeroComeBackInOrderAfterTheSilence) {
  const char* asked = std::getenv("RXIQ_WINE_LOOPBACK");
  if (!asked || std::string(asked) != "1") GTEST_SKIP() << "RXIQ_WINE_LOOPBACK=1 runs it";
  ASSERT_GT(waveOutGetNumDevs(), 0u) << "no playback device: is the sound server there?";
  AudioSlots slots;
  const std::string name = "/rxiq_wave_test_" + std::to_string(GetCurrentProcessId()) + "_%d";
  slots.semaphore_name = name.c_str();
  const std::vector<uint8_t> sound = test_sound();

  const std::vector<uint8_t> heard = record_sound(sound.size(), [&] {
    ASSERT_EQ(audio_open(slots, 0, 1, frame_rate, 2, -1), 1) << "the default device did not open";
    for (int b = 0; b < block_count; ++b) {
      EXPECT_EQ(audio_write(slots, 0, sound.data() + static_cast<size_t>(b) * audio_block_bytes,
                            audio_block_bytes),
                audio_block_bytes);
    }
  });
  EXPECT_EQ(audio_close(slots, 0), 1);
  char semaphore[96];
  std::snprintf(semaphore, sizeof semaphore, name.c_str(), 0);
  named_semaphore_unlink(semaphore);

  ASSERT_EQ(heard.size(), sound.size()) << "the sound did not come back whole";
  const auto first = std::mismatch(heard.begin(), heard.end(), sound.begin());
  EXPECT_EQ(first.first, heard.end()) << "first difference at byte " << (first.first - heard.begin());
  for (int b = 0; b < block_count; ++b) {
    const auto from = static_cast<long>(b) * audio_block_bytes;
    EXPECT_TRUE(std::equal(heard.begin() + from, heard.begin() + from + audio_block_bytes,
                           sound.begin() + from))
        << "block " << b << " differs";
  }
}

TEST(WinmmWaveDevice, AnIdThatDoesNotExistIsRefusedAndTheMapperIsTheDefault) {
  const int missing = static_cast<int>(waveOutGetNumDevs()) + 7;
  EXPECT_EQ(system_wave_backend().open(WaveDirection::playback, missing, stereo(), audio_block_bytes),
            nullptr);
  EXPECT_EQ(system_wave_backend().open(WaveDirection::capture,
                                       static_cast<int>(waveInGetNumDevs()) + 7, stereo(),
                                       audio_block_bytes),
            nullptr);

  // The default device gives its signal for the opening, takes both buffers, and
  // returns each with one signal of its own; a reset returns what is still queued.
  if (waveOutGetNumDevs() == 0) GTEST_SKIP() << "no wave device to play on";
  std::unique_ptr<WaveDevice> out =
      system_wave_backend().open(WaveDirection::playback, -1, stereo(), audio_block_bytes);
  ASSERT_NE(out, nullptr);
  std::vector<uint8_t> silence(audio_block_bytes);
  EXPECT_TRUE(out->queue(silence.data(), audio_block_bytes));
  EXPECT_TRUE(out->queue(silence.data(), audio_block_bytes));
  EXPECT_FALSE(out->queue(silence.data(), audio_block_bytes + 1)) << "longer than a buffer";
  EXPECT_TRUE(out->wait(device_wait_ms)) << "the opening";
  EXPECT_TRUE(out->wait(device_wait_ms)) << "the first buffer";
  EXPECT_TRUE(out->queue(silence.data(), audio_block_bytes));
  out->reset();
  EXPECT_TRUE(out->wait(device_wait_ms));
  EXPECT_TRUE(out->wait(device_wait_ms));
  EXPECT_FALSE(out->wait(0)) << "one signal per buffer, no more";
}

TEST(WinmmWaveDevice, TheReceiverReportsAnOutputThatDoesNotExistAndRunsOnWithoutSound) {
  ConsoleCapture console;
  print_console_set_charset("UTF-8");
  auto rx = std::make_unique<Receiver>(rxiq12_variant, nullptr);
  const std::string semaphore = "/rxiq_wave_fail_" + std::to_string(GetCurrentProcessId()) + "_%d";
  rx->audio.semaphore_name = semaphore.c_str();
  rx->state.out_device.store(static_cast<int32_t>(waveOutGetNumDevs()) + 7);
  receiver_open_audio(*rx);
  EXPECT_EQ(console.text(), "Не удалось открыть устройство вывода\n");
  const std::vector<uint8_t> block(audio_block_bytes, 1);
  EXPECT_EQ(audio_write(rx->audio, 0, block.data(), audio_block_bytes), 0);
  EXPECT_EQ(audio_close(rx->audio, 0), 1);
}
