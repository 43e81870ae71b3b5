#include <cstring>

#include "audio/audio_channel.h"
#include "tests/support/audio_support.h"

namespace {

using PlaybackWorkerTest = VirtualAudio;
using CaptureWorkerTest = VirtualAudio;

TEST_F(PlaybackWorkerTest, PrimesWithSilenceAndKeepsTwoBuffersQueued) {
  ASSERT_EQ(audio_open(slots, 0, 1, 96000, 2, 1), 1);
  ASSERT_TRUE(backend.settle());
  VirtualWaveRecord r = backend.record(0);
  EXPECT_EQ(r.device_id, 1);
  EXPECT_EQ(r.format.channels, 2);
  EXPECT_EQ(r.format.sample_rate, 96000);
  EXPECT_EQ(r.format.bits_per_sample, 16);
  EXPECT_EQ(r.queued.size(), 2u) << "two priming buffers";
  EXPECT_TRUE(r.played.empty());
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(backend.step());
  for (const auto& b : played_blocks()) EXPECT_EQ(b, silence);
  EXPECT_EQ(played_blocks().size(), 6u);
  r = backend.record(0);
  EXPECT_EQ(r.queued.size(), 2u);
  EXPECT_EQ(r.most_queued, 2) << "never more than two buffers with the device";
  // Six blocks of 20,480 bytes at 384,000 bytes/s.
  EXPECT_EQ(backend.now_us(), 6 * (int64_t{audio_block_bytes} * 1000000 / 384000));
}

TEST_F(PlaybackWorkerTest, SoundStartsWithTwoBlocksWaitingThenFallsSilent) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  std::vector<uint8_t> a = pattern(10), b = pattern(11);
  EXPECT_EQ(audio_write(slots, 0, a.data(), audio_block_bytes), audio_block_bytes);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(backend.step());
  EXPECT_EQ(slots.slots[0].channel.load()->read_index.load(), 0) << "one block is not enough";
  EXPECT_EQ(audio_write(slots, 0, b.data(), audio_block_bytes), audio_block_bytes);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(backend.step());
  // Each step finishes a buffer queued one step earlier, so the block taken at step 4
  // plays at step 6.
  std::vector<std::vector<uint8_t>> want(5, silence);
  want.push_back(a);
  want.push_back(b);
  want.push_back(silence);
  want.push_back(silence);
  EXPECT_EQ(played_blocks(), want);
  AudioChannel* c = slots.slots[0].channel.load();
  EXPECT_EQ(c->queued.load(), 0);
  EXPECT_EQ(c->read_index.load(), 2);

  // After running dry it waits for two blocks again.
  EXPECT_EQ(audio_write(slots, 0, a.data(), audio_block_bytes), audio_block_bytes);
  ASSERT_TRUE(backend.step());
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(played_blocks().back(), silence);
  EXPECT_EQ(c->read_index.load(), 2);
}

TEST_F(PlaybackWorkerTest, KeepsPlayingWithoutGapsWhileBlocksWait) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  int next = 0;
  for (; next < 2; ++next) {
    EXPECT_EQ(audio_write(slots, 0, pattern(next).data(), audio_block_bytes), audio_block_bytes);
  }
  // One new block per returned buffer: `queued` never falls below 1 once playing.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(backend.step());
    EXPECT_GE(slots.slots[0].channel.load()->queued.load(), 1);
    EXPECT_EQ(audio_write(slots, 0, pattern(next).data(), audio_block_bytes), audio_block_bytes);
    ++next;
  }
  auto played = played_blocks();
  ASSERT_EQ(played.size(), 40u);
  EXPECT_EQ(played[0], silence);
  EXPECT_EQ(played[1], silence);
  for (size_t i = 2; i < played.size(); ++i) {
    EXPECT_EQ(played[i], pattern(static_cast<int>(i) - 2)) << "block " << i;
  }
}

TEST_F(PlaybackWorkerTest, CloseStopsSoundAtTheNextReturnedBuffer) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(audio_write(slots, 0, pattern(i).data(), audio_block_bytes), audio_block_bytes);
  }
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(backend.step());
  ASSERT_EQ(played_blocks().size(), 4u);

  std::atomic<int> result{-1};
  std::thread closer([&] { result = audio_close(slots, 0); });
  while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
  EXPECT_EQ(result.load(), -1) << "close waits for the worker";
  ASSERT_TRUE(backend.step());  // one returned buffer is enough
  closer.join();
  EXPECT_EQ(result.load(), 1);
  VirtualWaveRecord r = backend.record(0);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.resets, 1);
  // The buffer that returned had played; the one still queued (block 3) was dropped and
  // the blocks waiting in the ring never played.
  EXPECT_EQ(played_blocks().size(), 5u);
  EXPECT_EQ(played_blocks()[4], pattern(2));
}

TEST_F(PlaybackWorkerTest, StalledDeviceStillEndsWithinOneWait) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  std::atomic<int> result{-1};
  std::thread closer([&] { result = audio_close(slots, 0); });
  while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
  backend.advance(int64_t{audio_device_wait_ms} * 1000 - 1);
  ASSERT_TRUE(backend.settle());
  EXPECT_FALSE(backend.record(0).closed) << "the wait lasts 2,000 ms";
  backend.advance(1);
  closer.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(backend.record(0).closed);
  EXPECT_TRUE(backend.record(0).played.empty());
}

TEST_F(PlaybackWorkerTest, TimedOutWaitCountsAsAReturnedBuffer) {
  ASSERT_EQ(audio_open(slots, 0, 1, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  backend.advance(int64_t{audio_device_wait_ms} * 1000);
  ASSERT_TRUE(backend.settle());
  // The worker went round once more and queued a third buffer behind the two.
  EXPECT_EQ(backend.record(0).queued.size(), 3u);
  EXPECT_EQ(close_stalled(0), 1);
}

TEST_F(CaptureWorkerTest, FillsTheRingAndStartsAgainWhenItOverruns) {
  std::vector<uint8_t> input;
  for (int i = 0; i < 201; ++i) {
    std::vector<uint8_t> b = pattern(i);
    input.insert(input.end(), b.begin(), b.end());
  }
  backend.feed(input);
  ASSERT_EQ(audio_open(slots, 0, 0, 48000, 2, -1), 1);
  ASSERT_TRUE(backend.settle());
  VirtualWaveRecord r = backend.record(0);
  EXPECT_EQ(r.direction, WaveDirection::capture);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.queued.size(), 2u);
  AudioChannel* c = slots.slots[0].channel.load();
  EXPECT_EQ(c->capture_state.load(), 1);
  EXPECT_EQ(c->playback_state.load(), 0);

  for (int i = 1; i <= 199; ++i) {
    ASSERT_TRUE(backend.step());
    ASSERT_EQ(c->queued.load(), i);
  }
  EXPECT_EQ(c->write_index.load(), 199);
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(c->write_index.load(), 0);
  EXPECT_EQ(c->queued.load(), 0) << "overrun: the waiting blocks count as gone";
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(c->queued.load(), 1);
  // Recorded blocks land in order; block 200 overwrote ring block 0.
  EXPECT_EQ(std::memcmp(c->blocks[1], pattern(1).data(), audio_block_bytes), 0);
  EXPECT_EQ(std::memcmp(c->blocks[199], pattern(199).data(), audio_block_bytes), 0);
  EXPECT_EQ(std::memcmp(c->blocks[0], pattern(200).data(), audio_block_bytes), 0);
  EXPECT_EQ(close_stalled(0), 1);
}

TEST_F(CaptureWorkerTest, HoldDiscardsWhatIsRecorded) {
  backend.feed(pattern(1));
  ASSERT_EQ(audio_open(slots, 0, 0, 48000, 2, -1), 1);
  AudioChannel* c = slots.slots[0].channel.load();
  c->hold.store(1);
  ASSERT_TRUE(backend.settle());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(backend.step());
  EXPECT_EQ(c->write_index.load(), 0);
  EXPECT_EQ(c->queued.load(), 0);
  EXPECT_EQ(backend.record(0).queued.size(), 2u) << "buffers keep cycling";
  c->hold.store(0);
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(c->write_index.load(), 1);
  EXPECT_EQ(c->queued.load(), 1);

  std::atomic<int> result{-1};
  std::thread closer([&] { result = audio_close(slots, 0); });
  while (slots.slots[0].in_use.load() != 0) std::this_thread::yield();
  ASSERT_TRUE(backend.step());
  closer.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(backend.record(0).resets, 1);
  EXPECT_TRUE(backend.record(0).closed);
}

}  // namespace
