#include "dsp/byte_feed.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/dsp_chain.h"

TEST(ByteFeed, AnyCuttingGivesTheOutputOfOneWholeRead) {
  // Two and a half blocks of noisy bytes, and an odd byte at the end.
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(5 * block_frames * 25 + 1);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());

  ChainRig whole;
  ASSERT_TRUE(dsp_feed_bytes(whole.chain(), whole.feed, bytes.data(), bytes.size()));
  ASSERT_EQ(whole.pcm_bytes().size(), 2u * block_bytes);
  EXPECT_TRUE(whole.feed.have_held);

  // Pieces of every size from one byte up, many of them odd.
  for (int seed = 0; seed < 3; ++seed) {
    ChainRig cut;
    std::uniform_int_distribution<size_t> piece(0, seed == 0 ? 3 : 70000);
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t n = std::min(piece(random), bytes.size() - at);
      ASSERT_TRUE(dsp_feed_bytes(cut.chain(), cut.feed, bytes.data() + at, n));
      at += n;
    }
    EXPECT_TRUE(cut.same_as(whole)) << "seed " << seed;
  }
}

TEST(ByteFeed, AStoppedChainSaysSo) {
  ChainRig rig;
  rig.state.running.store(0);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_FALSE(dsp_feed_bytes(rig.chain(), rig.feed, bytes, sizeof bytes));
  EXPECT_TRUE(dsp_feed_bytes(rig.chain(), rig.feed, bytes, 0)) << "nothing to process";
}
