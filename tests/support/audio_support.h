// A channel table on the virtual wave device, with semaphore names private to this
// process so that tests running at the same time never share one.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio/audio_channel.h"
#include "platform/named_semaphore.h"
#include "tests/support/virtual_wave_device.h"

class VirtualAudio : public ::testing::Test {
 protected:
  VirtualAudio()
      : name_format_("/rxiq_test_" + std::to_string(::getpid()) + "_%d") {
    slots.backend = &backend;
    slots.semaphore_name = name_format_.c_str();
  }

  ~VirtualAudio() override {
    for (int s = 0; s < audio_slot_count; ++s) {
      if (slots.slots[s].in_use.load() == 1) close_stalled(s);
      named_semaphore_unlink(semaphore_name(s).c_str());
    }
  }

  std::string semaphore_name(int slot) const {
    char name[96];
    std::snprintf(name, sizeof name, name_format_.c_str(), slot);
    return name;
  }

  // Closes a slot whose worker waits on a device that returns nothing: the close
  // clears `run`, and the worker notices when its 2,000 ms wait runs out.
  int close_stalled(int slot) {
    std::atomic<int> result{-1};
    std::thread closer([&] { result = audio_close(slots, slot); });
    while (slots.slots[slot].in_use.load() != 0) std::this_thread::yield();
    backend.advance(int64_t{audio_device_wait_ms} * 1000);
    closer.join();
    return result;
  }

  static std::vector<uint8_t> pattern(int seed) {
    std::vector<uint8_t> b(audio_block_bytes);
    for (size_t i = 0; i < b.size(); ++i) {
      b[i] = static_cast<uint8_t>((static_cast<size_t>(seed) * 131 + i * 7 + 1) % 251 + 1);
    }
    return b;
  }

  // The blocks a virtual device has played, one entry per block.
  std::vector<std::vector<uint8_t>> played_blocks(int device = 0) const {
    VirtualWaveRecord r = backend.record(device);
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t at = 0; at + audio_block_bytes <= r.played.size(); at += audio_block_bytes) {
      blocks.emplace_back(r.played.begin() + static_cast<long>(at),
                          r.played.begin() + static_cast<long>(at + audio_block_bytes));
    }
    return blocks;
  }

  const std::vector<uint8_t> silence = std::vector<uint8_t>(audio_block_bytes, 0);
  VirtualWaveBackend backend{2};
  AudioSlots slots;

 private:
  std::string name_format_;
};
