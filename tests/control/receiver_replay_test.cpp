// The whole receiver on a recording of the simulator played by the unpaced file dongle:
// channel 0 on a virtual sound device plays the recorded carrier 10 kHz above the tuning,
// and 150 Hz lower after three Rights.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "control/key_commands.h"
#include "control/receiver.h"
#include "core/print_console.h"
#include "simulator/sim_dongle.h"
#include "terminal/key_decoder.h"
#include "tests/support/console_capture.h"
#include "tests/support/tone.h"
#include "tests/support/virtual_wave_device.h"
#include "tuner/file_dongle.h"

namespace {

namespace fs = std::filesystem;

// Lets the tuner read on only once the DSP thread has taken every stored block.
void wait_until_drained(const Receiver& rx) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (rx.dsp.next_store.load() < rx.ring.ring_stores.load() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

// Closes audio channel 0 however the test ends: the virtual clock has to move for the
// worker to see the close.
struct ChannelCloser {
  Receiver& rx;
  VirtualWaveBackend& backend;
  ~ChannelCloser() {
    rx.state.running.store(0);
    receiver_join(rx);
    if (rx.audio.slots[0].in_use.load() == 0) return;
    std::thread closer([this] { audio_close(rx.audio, 0); });
    while (rx.audio.slots[0].in_use.load() != 0) std::this_thread::yield();
    backend.advance(int64_t{audio_device_wait_ms} * 1000);
    closer.join();
  }
};

// 24 blocks of the simulator as the receiver reads it at its start-up tuning, raw.
fs::path record_simulator() {
  const fs::path path = fs::temp_directory_path() / ("rxiq-receiver-replay-" + std::to_string(getpid()) + ".cu8");
  SimDongle sim(sim_dongle_choice(), false);
  Dongle* dev = nullptr;
  EXPECT_EQ(sim.open(&dev, 0), 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, 496);
  sim.set_center_freq(dev, 145725000);
  sim.set_sample_rate(dev, rxiq12_variant.sample_rate);
  sim.set_freq_correction(dev, sim_crystal_error_ppm);
  std::vector<uint8_t> block(65536);
  std::ofstream out(path, std::ios::binary);
  for (int k = 0; k < 24; ++k) {
    int n = 0;
    sim.read_sync(dev, block.data(), static_cast<int>(block.size()), &n);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
  }
  return path;
}

}  // namespace

TEST(ReceiverReplay, PlaysTheRecordedCarrierAndFollowsThreeRights) {
  const fs::path path = record_simulator();
  ConsoleCapture console;
  VirtualWaveBackend backend;
  const std::string semaphore = "/rxiq-audio-replay-" + std::to_string(getpid()) + "-%d";
  DongleChoice choice;
  ASSERT_TRUE(parse_dongle_choice(("file:" + path.string() + ",rate=1200000").c_str(), choice));
  auto owned = std::make_unique<FileDongle>(choice, false);
  FileDongle* file = owned.get();
  auto rx = std::make_unique<Receiver>(rxiq12_variant, std::move(owned));
  {
    ChannelCloser closing{*rx, backend};
    rx->audio.backend = &backend;
    rx->audio.semaphore_name = semaphore.c_str();
    file->on_read = [&](int64_t n) {
      wait_until_drained(*rx);
      if (n == 12) {
        for (int i = 0; i < 3; ++i) key_command(receiver_keys(*rx), vk_right);
      }
      if (n == 20) rx->state.running.store(0);
    };
    receiver_open_audio(*rx);
    ASSERT_NE(backend.opened(), 0) << console.text();
    receiver_start_tuner(*rx);
    receiver_join(*rx);
    EXPECT_EQ(rx->state.frequency.load(), 145725150);
    EXPECT_EQ(rx->dsp.overruns.load(), 0u);
    EXPECT_NE(console.text().find("rxiq file, " + path.filename().string() + ", SN: 00000001"), std::string::npos)
        << console.text();

    // Reads 2 to 19 stored: 18 blocks of 32,768 samples make 4 PCM blocks.
    AudioChannel* channel = rx->audio.slots[0].channel.load();
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(channel->queued.load(), 4);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(backend.step());
    const std::vector<uint8_t> played = backend.record(0).played;
    std::vector<const int16_t*> sound;
    for (size_t at = 0; at + audio_block_bytes <= played.size(); at += audio_block_bytes) {
      const auto* frames = reinterpret_cast<const int16_t*>(played.data() + at);
      bool silent = true;
      for (int k = 0; k < block_frames * 2 && silent; ++k) silent = frames[k] == 0;
      if (!silent) sound.push_back(frames);
    }
    ASSERT_EQ(sound.size(), 4u);
    const double rate = rxiq12_variant.frame_rate;
    EXPECT_GT(tone_amplitude(sound.front(), block_frames, 10000, rate),
              30 * tone_amplitude(sound.front(), block_frames, 9850, rate));
    EXPECT_GT(tone_amplitude(sound.back(), block_frames, 9850, rate),
              30 * tone_amplitude(sound.back(), block_frames, 10000, rate));
    EXPECT_GT(tone_amplitude(sound.back(), block_frames, 9850, rate), 1000);
  }
  fs::remove(path);
}
