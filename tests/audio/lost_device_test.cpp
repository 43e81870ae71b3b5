// A playback device that goes away under a running channel (its sound server ended, its
// card was pulled), on the virtual device: the worker says so, refuses blocks meanwhile
// (counted as dropped, never waiting), opens the device again by its name every 2 s of
// the device's clock, says when it is back, and plays again.
#include <cstdio>
#include <mutex>
#include <string>

#include "audio/audio_channel.h"
#include "tests/support/audio_support.h"

namespace {

class LostDeviceTest : public VirtualAudio {
 protected:
  LostDeviceTest() {
    slots.notice = [](void* self, const char* line) {
      auto& t = *static_cast<LostDeviceTest*>(self);
      std::lock_guard<std::mutex> lock(t.notice_mutex_);
      t.notices_ += line;
    };
    slots.notice_context = this;
  }

  std::string notices() {
    std::lock_guard<std::mutex> lock(notice_mutex_);
    return notices_;
  }

  static std::string line(const char* format, int id, const char* name) {
    char text[256];
    std::snprintf(text, sizeof text, format, id, name);
    return text;
  }

  // Lets `ms` of the device's clock pass for a worker that sleeps between attempts.
  bool pass_ms(int64_t ms) {
    backend.advance(ms * 1000);
    return backend.settle();
  }

 private:
  std::mutex notice_mutex_;
  std::string notices_;
};

TEST_F(LostDeviceTest, SaysItIsLostRetriesEveryTwoSecondsByNameAndPlaysAgainWhenBack) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, 1), 1);
  ASSERT_TRUE(backend.settle());
  AudioChannel* c = slots.slots[0].channel.load();
  for (int i = 0; i < 2; ++i) ASSERT_EQ(audio_write(slots, 0, pattern(i).data(), audio_block_bytes), audio_block_bytes);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(backend.step());
  ASSERT_EQ(played_blocks().back(), pattern(0)) << "sound had started";
  ASSERT_EQ(audio_write(slots, 0, pattern(2).data(), audio_block_bytes), audio_block_bytes);
  const uint64_t dropped_before = c->dropped.load();

  backend.lose();
  ASSERT_TRUE(backend.settle());
  EXPECT_TRUE(backend.record(0).closed);
  EXPECT_EQ(notices(), line(audio_lost_format, 1, "Virtual 1"));
  EXPECT_EQ(c->dropped.load(), dropped_before + 1) << "the block still waiting is lost";
  EXPECT_EQ(c->queued.load(), 0);
  EXPECT_EQ(c->playback_state.load(), 1) << "the channel stays open";

  // The producer goes on and is refused at once, every block counted.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(audio_write(slots, 0, pattern(i).data(), audio_block_bytes), 0);
  EXPECT_EQ(c->dropped.load(), dropped_before + 6);

  // Attempts every 2 s of the device's clock, none in between.
  const int opens = backend.open_calls();
  ASSERT_TRUE(pass_ms(audio_retry_ms - 1));
  EXPECT_EQ(backend.open_calls(), opens);
  ASSERT_TRUE(pass_ms(1));
  EXPECT_EQ(backend.open_calls(), opens + 1) << "refused: the server is still away";
  ASSERT_TRUE(pass_ms(audio_retry_ms));
  EXPECT_EQ(backend.open_calls(), opens + 2);
  EXPECT_EQ(backend.rescans(), 0) << "the name is still listed: no need to read the list again";

  // Back, but without a device of that name: nothing to open yet.
  backend.set_names({"Virtual 0", "Virtual 9"});
  backend.restore();
  ASSERT_TRUE(pass_ms(audio_retry_ms));
  EXPECT_EQ(backend.open_calls(), opens + 2);
  EXPECT_EQ(backend.opened(), 1);
  EXPECT_EQ(backend.rescans(), 1) << "a missing name has the list read again";

  // The name is back under another id: that id opens.
  backend.set_names({"Virtual 0", "Virtual 9", "Virtual 1"});
  ASSERT_TRUE(pass_ms(audio_retry_ms));
  ASSERT_EQ(backend.opened(), 2);
  VirtualWaveRecord r = backend.record(1);
  EXPECT_EQ(r.device_id, 2);
  EXPECT_EQ(r.queued.size(), 2u) << "primed anew";
  EXPECT_EQ(notices(), line(audio_lost_format, 1, "Virtual 1") + line(audio_back_format, 2, "Virtual 1"));

  // Blocks are taken again and play, in order, after the two priming buffers.
  const uint64_t dropped_after = c->dropped.load();
  for (int i = 10; i < 12; ++i) ASSERT_EQ(audio_write(slots, 0, pattern(i).data(), audio_block_bytes), audio_block_bytes);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(backend.step(1));
  const auto played = played_blocks(1);
  ASSERT_EQ(played.size(), 5u);
  EXPECT_EQ(played[0], silence);
  EXPECT_EQ(played[1], silence);
  EXPECT_EQ(played[2], pattern(10));
  EXPECT_EQ(played[3], pattern(11));
  EXPECT_EQ(c->dropped.load(), dropped_after);
}

TEST_F(LostDeviceTest, TheDefaultDeviceStaysTheDefaultAndACloseEndsTheRetries) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  backend.lose();
  ASSERT_TRUE(backend.settle());
  EXPECT_EQ(notices(), line(audio_lost_format, -1, "Virtual default"));
  backend.set_names({"Another"});  // the default does not go by name
  backend.restore();
  ASSERT_TRUE(pass_ms(audio_retry_ms));
  ASSERT_EQ(backend.opened(), 2);
  EXPECT_EQ(backend.record(1).device_id, -1);

  // Lost again, then closed while the worker sleeps between attempts: the close ends it
  // within one short sleep, with no further attempt.
  backend.lose();
  ASSERT_TRUE(backend.settle());
  const int opens = backend.open_calls();
  std::atomic<int> result{-1};
  std::thread closer([&] { result = audio_close(slots, 0); });
  while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
  backend.advance(int64_t{audio_state_poll_ms} * 1000);
  closer.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(backend.open_calls(), opens);
}

}  // namespace
