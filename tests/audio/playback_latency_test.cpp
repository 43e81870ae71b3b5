// The playback backlog stays bounded for hours on a virtual device whose clock the test
// drives: a producer whose clock runs 200 ppm fast or slow against the card's, and
// stalls of either side. Every block carries its number, so what the device played can
// be checked block by block: whole, in order, and every block written accounted for as
// played, dropped or still waiting.
#include <cstring>

#include "audio/audio_channel.h"
#include "tests/support/audio_support.h"

namespace {

constexpr int frame_rate = 48000;
// The virtual card's playing time of one block, as its clock counts it.
constexpr int64_t block_us = int64_t{audio_block_bytes} * 1000000 / (frame_rate * 4);

// Block number n: its number at both ends, a byte of it everywhere between. Never all
// zero, so it cannot be taken for silence.
void fill_block(std::vector<uint8_t>& b, uint64_t n) {
  std::memset(b.data(), static_cast<int>((n & 0x7F) | 1), b.size());
  std::memcpy(b.data(), &n, sizeof n);
  std::memcpy(b.data() + b.size() - sizeof n, &n, sizeof n);
}

// What the device played, checked as it plays.
struct Heard {
  uint64_t sound = 0;      // numbered blocks played
  uint64_t skipped = 0;    // numbers jumped over between two played blocks
  uint64_t gaps = 0;       // runs of silence after sound had started
  int64_t last = -1;       // number of the latest block played
  bool silent = false;
  bool broken = false;     // a block neither silence nor one whole numbered block
  bool out_of_order = false;

  void play(const std::vector<uint8_t>& b) {
    uint64_t head = 0, tail = 0;
    std::memcpy(&head, b.data(), sizeof head);
    std::memcpy(&tail, b.data() + b.size() - sizeof tail, sizeof tail);
    const size_t middle = b.size() / 2;
    if (head == 0 && tail == 0 && b[middle] == 0 && b[8] == 0) {
      if (last >= 0 && !silent) ++gaps;
      silent = true;
      return;
    }
    if (head != tail || b[middle] != ((head & 0x7F) | 1) || b[8] != b[middle]) broken = true;
    if (static_cast<int64_t>(head) <= last) out_of_order = true;
    if (last >= 0) skipped += head - static_cast<uint64_t>(last) - 1;
    last = static_cast<int64_t>(head);
    silent = false;
    ++sound;
  }
};

class PlaybackLatency : public VirtualAudio {
 protected:
  void SetUp() override {
    backend.on_played = [this](int, const std::vector<uint8_t>& b) { heard.play(b); };
    ASSERT_EQ(audio_open(slots, 0, 1, frame_rate, 2, -1), 1);
    ASSERT_TRUE(backend.settle());
    channel = slots.slots[0].channel.load();
  }

  void write_block() {
    fill_block(block, written);
    ASSERT_EQ(audio_write(slots, 0, block.data(), audio_block_bytes), audio_block_bytes);
    ++written;
  }

  // Plays `blocks` device buffers while a producer whose blocks last `producer_us`
  // writes every block that is due by the card's clock. Records the backlog range.
  void run(int64_t blocks, double producer_us) {
    for (int64_t i = 0; i < blocks; ++i) {
      const double now = static_cast<double>(backend.now_us() - producer_offset_us);
      while (static_cast<double>(produced_time_blocks) * producer_us <= now) {
        write_block();
        ++produced_time_blocks;
      }
      ASSERT_TRUE(backend.step());
      const int32_t backlog = channel->backlog.load();
      most_backlog = std::max(most_backlog, backlog);
    }
  }

  // Every block written was played, dropped, or is still in the ring or the device.
  void expect_accounted() {
    const uint64_t waiting = static_cast<uint64_t>(
        audio_waiting(channel->read_index.load(), channel->write_index.load()));
    const uint64_t in_device = 2;  // the buffers queued with the device, at most
    EXPECT_FALSE(heard.broken);
    EXPECT_FALSE(heard.out_of_order);
    EXPECT_EQ(heard.skipped, channel->dropped.load()) << "every jump is a counted drop";
    EXPECT_LE(heard.sound + channel->dropped.load() + waiting, written);
    EXPECT_GE(heard.sound + channel->dropped.load() + waiting + in_device, written);
    EXPECT_EQ(heard.gaps, channel->underruns.load());
  }

  Heard heard;
  AudioChannel* channel = nullptr;
  std::vector<uint8_t> block = std::vector<uint8_t>(audio_block_bytes);
  uint64_t written = 0;
  int64_t produced_time_blocks = 0;
  int64_t producer_offset_us = 0;
  int32_t most_backlog = 0;
};

// Three simulated hours of 106.7 ms blocks.
constexpr int64_t three_hours = 3 * 3600 * 1000000LL / block_us;

TEST_F(PlaybackLatency, FastProducerGainsBlocksThatAreDroppedInSteps) {
  run(three_hours, static_cast<double>(block_us) * (1.0 - 200e-6));
  // 200 ppm of 101,000 blocks: about 20 gained, every one of them dropped or waiting.
  EXPECT_LE(most_backlog, audio_backlog_high);
  EXPECT_GE(channel->dropped.load(), 14u);
  EXPECT_LE(channel->dropped.load(), 22u);
  EXPECT_EQ(channel->dropped.load() % (audio_backlog_high + 1 - audio_backlog_target), 0u)
      << "each drop goes from just above the high mark to the target";
  EXPECT_EQ(channel->underruns.load(), 0u);
  expect_accounted();
}

TEST_F(PlaybackLatency, SlowProducerRunsDryAndStartsAgainWithoutDrops) {
  run(three_hours, static_cast<double>(block_us) * (1.0 + 200e-6));
  // About 20 blocks short over the run: the ring runs dry every few blocks lost.
  EXPECT_LE(most_backlog, audio_backlog_high);
  EXPECT_EQ(channel->dropped.load(), 0u);
  EXPECT_GE(channel->underruns.load(), 5u);
  EXPECT_LE(channel->underruns.load(), 21u);
  expect_accounted();
}

TEST_F(PlaybackLatency, StallOfTheCardIsDroppedAtOnceAndAStalledProducerIsOneGap) {
  run(100, static_cast<double>(block_us));
  ASSERT_EQ(channel->dropped.load(), 0u);
  ASSERT_EQ(channel->underruns.load(), 0u);

  // The card stops for 5 s while the producer goes on: 46 more blocks wait.
  const int64_t stall_blocks = 5000000 / block_us;
  for (int64_t i = 0; i < stall_blocks; ++i) write_block();
  const int32_t waiting = audio_waiting(channel->read_index.load(), channel->write_index.load());
  ASSERT_GT(waiting, audio_backlog_high);
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(channel->dropped.load(), static_cast<uint64_t>(waiting - audio_backlog_target));
  EXPECT_EQ(channel->backlog.load(), audio_backlog_target);
  most_backlog = 0;
  run(100, static_cast<double>(block_us));
  EXPECT_LE(most_backlog, audio_backlog_target + 1) << "the latency gained in the stall is gone";

  // The producer stops for 5 s: one gap of silence, then sound again in order.
  for (int64_t i = 0; i < stall_blocks; ++i) ASSERT_TRUE(backend.step());
  producer_offset_us += stall_blocks * block_us;
  const uint64_t dropped = channel->dropped.load();
  run(100, static_cast<double>(block_us));
  EXPECT_EQ(channel->underruns.load(), 1u);
  EXPECT_EQ(channel->dropped.load(), dropped);
  EXPECT_LE(most_backlog, audio_backlog_high);
  expect_accounted();

  AudioLosses losses = audio_losses(slots, 0);
  EXPECT_EQ(losses.dropped, channel->dropped.load());
  EXPECT_EQ(losses.underruns, 1u);
  EXPECT_EQ(audio_losses(slots, 1).dropped, 0u) << "a closed slot reports nothing";
}

TEST_F(PlaybackLatency, BacklogOfASlowStartingDeviceIsDroppedButNotALoss) {
  // The device asks for nothing for 2 s while the producer already runs.
  for (int i = 0; i < 19; ++i) write_block();
  ASSERT_TRUE(backend.step());
  EXPECT_EQ(channel->start_dropped.load(), static_cast<uint64_t>(19 - audio_backlog_target));
  producer_offset_us = backend.now_us();
  produced_time_blocks = 1;
  run(50, static_cast<double>(block_us));
  EXPECT_EQ(channel->dropped.load(), 0u);
  EXPECT_EQ(heard.skipped, 0u);
  EXPECT_LE(most_backlog, audio_backlog_target + 1);
  EXPECT_FALSE(heard.broken);
  EXPECT_FALSE(heard.out_of_order);
}

TEST_F(PlaybackLatency, ABlockRefusedByAFullRingCountsAsDropped) {
  // The card never returns a buffer: the ring fills and the 200th write is refused.
  for (int i = 0; i < audio_max_queued; ++i) write_block();
  fill_block(block, written);
  EXPECT_EQ(audio_write(slots, 0, block.data(), audio_block_bytes), 0);
  EXPECT_EQ(channel->dropped.load(), 1u);
  EXPECT_EQ(close_stalled(0), 1);
}

}  // namespace
