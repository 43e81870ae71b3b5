#include "audio/audio_channel.h"

#include <cstring>

#include "tests/support/audio_support.h"

namespace {

using AudioChannelTest = VirtualAudio;

TEST_F(AudioChannelTest, RefusesBadSlotsAndSecondOpen) {
  EXPECT_EQ(audio_open(slots, 12, 1, 48000, 2, -1), 0);
  EXPECT_EQ(audio_open(slots, -1, 1, 48000, 2, -1), 0);
  EXPECT_EQ(backend.opened(), 0) << "no worker may start for a slot out of range";
  EXPECT_EQ(audio_close(slots, 12), 0);
  EXPECT_EQ(audio_close(slots, 3), 0) << "closing a free slot";
  std::vector<uint8_t> b = pattern(1);
  EXPECT_EQ(audio_write(slots, 12, b.data(), audio_block_bytes), 0);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), 0) << "writing a free slot";

  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  AudioChannel* first = slots.slots[0].channel.load();
  EXPECT_EQ(audio_open(slots, 0, 1, 96000, 2, 0), 0);
  EXPECT_EQ(slots.slots[0].channel.load(), first) << "the open channel is left alone";
  EXPECT_EQ(backend.opened(), 1);
  ASSERT_TRUE(backend.settle());

  // The first channel still plays what it is given.
  std::vector<uint8_t> a = pattern(2);
  EXPECT_EQ(audio_write(slots, 0, a.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(backend.step());
  auto played = played_blocks();
  ASSERT_EQ(played.size(), 4u);
  EXPECT_EQ(played[2], a);
  EXPECT_EQ(played[3], b);
  EXPECT_EQ(backend.record(0).format.sample_rate, 48000);
}

TEST_F(AudioChannelTest, DeviceThatDoesNotOpenLeavesSlotInUseUntilClose) {
  EXPECT_EQ(audio_open(slots, 2, 1, 48000, 2, 7), 0);
  EXPECT_EQ(slots.slots[2].in_use.load(), 1);
  AudioChannel* c = slots.slots[2].channel.load();
  EXPECT_EQ(c->playback_state.load(), 0);
  EXPECT_EQ(c->semaphore.load(), nullptr) << "no semaphore without a device";
  std::vector<uint8_t> b = pattern(3);
  EXPECT_EQ(audio_write(slots, 2, b.data(), audio_block_bytes), 0);
  EXPECT_EQ(audio_close(slots, 2), 1);
  EXPECT_EQ(audio_close(slots, 2), 0);
  EXPECT_EQ(slots.slots[2].in_use.load(), 0);

  // A format the device cannot take fails the same way.
  EXPECT_EQ(audio_open(slots, 2, 1, 48000, 0, -1), 0);
  EXPECT_EQ(audio_close(slots, 2), 1);
  EXPECT_EQ(backend.opened(), 0);
}

TEST_F(AudioChannelTest, RecordThatCannotBeAllocatedFailsOpen) {
  slots.allocate = [] { return static_cast<AudioChannel*>(nullptr); };
  EXPECT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 0);
  EXPECT_EQ(slots.slots[0].in_use.load(), 0) << "the slot stays free";
  EXPECT_EQ(backend.opened(), 0);
  slots.allocate = audio_channel_allocate;
  EXPECT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  EXPECT_EQ(close_stalled(0), 1);
}

TEST_F(AudioChannelTest, RingHolds199BlocksAndWraps) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  AudioChannel* c = slots.slots[0].channel.load();
  c->backlog_high.store(audio_max_queued);  // the ring alone, without the latency bound
  for (int i = 0; i < audio_max_queued; ++i) {
    std::vector<uint8_t> b = pattern(i);
    ASSERT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes) << i;
  }
  EXPECT_EQ(c->queued.load(), 199);
  EXPECT_EQ(c->write_index.load(), 199);
  std::vector<uint8_t> extra = pattern(500);
  EXPECT_EQ(audio_write(slots, 0, extra.data(), audio_block_bytes), 0);
  EXPECT_EQ(c->write_index.load(), 199) << "a refused block must not move write_index";
  EXPECT_EQ(c->queued.load(), 199);

  // Draining two blocks makes room for two; the first goes to ring block 199, the next
  // to ring block 0.
  ASSERT_TRUE(backend.step());
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(c->read_index.load(), 2);
  EXPECT_EQ(c->queued.load(), 197);
  std::vector<uint8_t> b199 = pattern(199);
  std::vector<uint8_t> b0 = pattern(200);
  EXPECT_EQ(audio_write(slots, 0, b199.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(c->write_index.load(), 0);
  EXPECT_EQ(audio_write(slots, 0, b0.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(c->write_index.load(), 1);
  EXPECT_EQ(std::memcmp(c->blocks[199], b199.data(), audio_block_bytes), 0);
  EXPECT_EQ(std::memcmp(c->blocks[0], b0.data(), audio_block_bytes), 0);
}

TEST_F(AudioChannelTest, WriteRefusals) {
  ASSERT_EQ(audio_open(slots, 1, 0, 48000, 2, -1), 1);
  std::vector<uint8_t> b = pattern(4);
  EXPECT_EQ(audio_write(slots, 1, b.data(), audio_block_bytes), 0) << "capture channel";

  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  AudioChannel* c = slots.slots[0].channel.load();
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes + 1), 0) << "longer than a block";
  EXPECT_EQ(audio_write(slots, 0, b.data(), 0), 0);
  EXPECT_EQ(audio_write(slots, 0, nullptr, audio_block_bytes), 0);
  c->hold.store(1);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), 0) << "hold";
  c->hold.store(0);
  EXPECT_EQ(c->write_index.load(), 0);
  EXPECT_EQ(c->queued.load(), 0);
  EXPECT_EQ(audio_write(slots, 0, b.data(), 100), 100) << "a short block is taken";
  EXPECT_EQ(c->queued.load(), 1);

  EXPECT_EQ(close_stalled(0), 1);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), 0) << "after close";
  EXPECT_EQ(audio_close(slots, 0), 0);
  EXPECT_EQ(close_stalled(1), 1);
}

TEST_F(AudioChannelTest, SemaphoreIsSharedByNameAndSurvivesADeadHolder) {
  // Another process made the semaphore and holds its count: the channel opens that one,
  // not a new one, and sees the count taken.
  std::string name = semaphore_name(0);
  NamedSemaphore* other = named_semaphore_open(name.c_str(), 1);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(named_semaphore_wait(other, 0), 1);
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  EXPECT_EQ(named_semaphore_value(slots.slots[0].channel.load()->semaphore.load()), 0);
  named_semaphore_release(other);
  std::vector<uint8_t> b = pattern(5);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(named_semaphore_value(other), 1) << "taken and given back";
  EXPECT_EQ(close_stalled(0), 1);

  // Now a holder dies with the count taken. The wait runs out, the block still counts,
  // and the count is given back so that the next writes find it free.
  while (named_semaphore_wait(other, 0) == 1) {
  }
  EXPECT_EQ(named_semaphore_value(other), 0);
  slots.semaphore_wait_ms = 20;
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  AudioChannel* c = slots.slots[0].channel.load();
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(c->queued.load(), 1);
  EXPECT_EQ(named_semaphore_value(other), 1);
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes);
  EXPECT_EQ(c->queued.load(), 2);
  EXPECT_EQ(named_semaphore_value(other), 1);
  ASSERT_TRUE(backend.step(1));
  EXPECT_EQ(c->queued.load(), 1) << "the worker's count changes go through the same lock";
  EXPECT_EQ(named_semaphore_value(other), 1);
  named_semaphore_close(other);
}

// Esc and a close event may close slot 0 at the same moment: one of them closes it and
// the record is freed once (AddressSanitizer reports a second free).
TEST_F(AudioChannelTest, OverlappingClosesFreeOnce) {
  // The second close arrives while the first waits for the worker.
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  std::atomic<int> first{-1};
  std::thread closer([&] { first = audio_close(slots, 0); });
  while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
  EXPECT_EQ(audio_close(slots, 0), 0);
  backend.advance(int64_t{audio_device_wait_ms} * 1000);
  closer.join();
  EXPECT_EQ(first.load(), 1);

  // Both start together.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
    ASSERT_TRUE(backend.settle());
    std::atomic<int> go{0};
    std::atomic<int> results[2] = {-1, -1};
    auto close_it = [&](int i) {
      while (go.load() == 0) std::this_thread::yield();
      results[i] = audio_close(slots, 0);
    };
    std::thread a(close_it, 0), b(close_it, 1);
    go = 1;
    while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
    backend.advance(int64_t{audio_device_wait_ms} * 1000);
    a.join();
    b.join();
    EXPECT_EQ(results[0] + results[1], 1) << "round " << round;
  }
}

// The DSP thread may still be writing while shutdown closes the slot; the record must
// outlive every copy into it (AddressSanitizer reports a use after free otherwise).
// Each round gives the writer one chance to be inside audio_write as the record goes;
// under ThreadSanitizer, which checks the hand-over itself, a few rounds are enough.
#ifdef __SANITIZE_THREAD__
constexpr int close_rounds = 5;
#else
constexpr int close_rounds = 25;
#endif

TEST_F(AudioChannelTest, CloseWaitsForWritesInProgress) {
  std::atomic<bool> writing{true};
  std::atomic<long> accepted{0};
  std::thread writer([&] {
    std::vector<uint8_t> b = pattern(6);
    while (writing.load()) {
      if (audio_write(slots, 0, b.data(), audio_block_bytes) > 0) ++accepted;
    }
  });
  for (int round = 0; round < close_rounds; ++round) {
    ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
    ASSERT_TRUE(backend.settle());
    EXPECT_EQ(close_stalled(0), 1);
  }
  writing = false;
  writer.join();
  EXPECT_GT(accepted.load(), 0);
}

}  // namespace
