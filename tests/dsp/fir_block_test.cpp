#include "dsp/fir_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/fir_filter.h"
#include "variants/variant.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t work_scale = 16;  // sanitizers slow the reference filter down a lot
#else
constexpr int64_t work_scale = 1;
#endif

// Values spread over many binades and both signs, so any change in the order or
// precision of the sums shows up in the last bits.
float spread_value(std::mt19937& rng) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-24, 12);
  return std::ldexp(mantissa(rng), exponent(rng));
}

// A record in a valid mid-stream state: random coefficients and histories, the write
// position and phase anywhere they may be between pushes.
std::unique_ptr<FirFilter> random_filter(std::mt19937& rng, int32_t taps, int32_t decimation) {
  auto filter = std::make_unique<FirFilter>();
  for (int32_t k = 0; k < fir_capacity; ++k) {
    filter->coef_i[k] = spread_value(rng);
    filter->coef_q[k] = spread_value(rng);
    filter->hist_i[k] = spread_value(rng);
    filter->hist_q[k] = spread_value(rng);
  }
  fir_reset(*filter, taps, decimation);
  filter->write_pos = std::uniform_int_distribution<int32_t>(taps, fir_capacity - 1)(rng);
  filter->phase = std::uniform_int_distribution<int32_t>(0, decimation - 1)(rng);
  return filter;
}

struct Outputs {
  std::vector<float> i, q;
};

Outputs push_singly(FirFilter& filter, const std::vector<float>& in_i, const std::vector<float>& in_q) {
  Outputs result;
  float out[2];
  for (size_t n = 0; n < in_i.size(); ++n) {
    if (fir_push(filter, in_i[n], in_q[n], out) == 1) {
      result.i.push_back(out[0]);
      result.q.push_back(out[1]);
    }
  }
  return result;
}

// Block sizes that hit the awkward cases: single samples, odd sizes, runs longer than
// one work area and than the distance between compactions.
int32_t next_block_size(std::mt19937& rng) {
  switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
    case 0: return 1;
    case 1: return std::uniform_int_distribution<int32_t>(1, 9)(rng) * 2 + 1;
    case 2: return std::uniform_int_distribution<int32_t>(2, 200)(rng);
    case 3: return std::uniform_int_distribution<int32_t>(200, 4000)(rng);
    default: return std::uniform_int_distribution<int32_t>(4000, 40000)(rng);
  }
}

Outputs push_in_blocks(FirFilter& filter, FirBlockWork& work, const std::vector<float>& in_i,
                       const std::vector<float>& in_q, uint32_t seed) {
  std::mt19937 rng(seed);
  Outputs result;
  const int32_t total = static_cast<int32_t>(in_i.size());
  std::vector<float> out_i(static_cast<size_t>(total) + 1), out_q(static_cast<size_t>(total) + 1);
  for (int32_t done = 0; done < total;) {
    const int32_t count = std::min(next_block_size(rng), total - done);
    const int32_t produced = fir_push_block(filter, work, in_i.data() + done, in_q.data() + done, count,
                                            out_i.data(), out_q.data());
    EXPECT_LE(produced, count / filter.decimation + 1);
    result.i.insert(result.i.end(), out_i.begin(), out_i.begin() + produced);
    result.q.insert(result.q.end(), out_q.begin(), out_q.begin() + produced);
    done += count;
  }
  return result;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

bool same_record(const FirFilter& a, const FirFilter& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

size_t first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  size_t k = 0;
  while (k < a.size() && k < b.size() && std::memcmp(&a[k], &b[k], sizeof(float)) == 0) ++k;
  return k;
}

class FirBlockTest : public ::testing::Test {
 protected:
  void TearDown() override { fir_block_force_target(0); }
  std::unique_ptr<FirBlockWork> work = std::make_unique<FirBlockWork>();
};

TEST_F(FirBlockTest, EveryPathIsSelectableAndTheBestIsTheDefault) {
  const std::vector<int64_t> targets = fir_block_targets();
  ASSERT_FALSE(targets.empty());
  std::string names;
  for (int64_t target : targets) names += std::string(" ") + fir_block_target_name(target);
  std::printf("SIMD paths checked:%s\n", names.c_str());
  EXPECT_EQ(fir_block_current_target(), targets.front());
  for (int64_t target : targets) {
    fir_block_force_target(target);
    EXPECT_EQ(fir_block_current_target(), target) << fir_block_target_name(target);
    // Forcing one path must not hide the others from the list.
    EXPECT_EQ(fir_block_targets(), targets);
  }
  fir_block_force_target(0);
  EXPECT_EQ(fir_block_current_target(), targets.front());
}

// The core property: on every path, for filter shapes across the allowed range, any
// split into blocks gives the outputs and the final record of single pushes, to the bit.
TEST_F(FirBlockTest, MatchesSinglePushesBitForBitOnEveryPath) {
  struct Shape {
    int32_t taps, decimation;
  };
  const Shape shapes[] = {
      {256, 25}, {2, 1},    {2, 2},     {3, 64},   {4095, 1},  {4095, 2},  {4095, 25}, {4095, 64},
      {4094, 3}, {2048, 5}, {2049, 7},  {2047, 8}, {1000, 13}, {257, 16},  {255, 31},  {64, 32},
      {33, 33},  {32, 33},  {24, 25},   {25, 25},  {26, 25},   {100, 47},  {5, 4},     {17, 64},
      {63, 64},  {65, 64},  {129, 1},   {3840, 9}, {300, 100}, {6, 1000},  {4095, 250}, {512, 2}};
  const std::vector<int64_t> targets = fir_block_targets();
  std::mt19937 rng(20240611);
  for (const Shape& shape : shapes) {
    // Enough samples for several compactions and many runs, but bounded in total work.
    const int64_t budget = 3000000 / work_scale;
    const int64_t wanted = budget * shape.decimation / shape.taps;
    // At least one compaction, wherever the write position starts.
    const int64_t past_compaction = fir_capacity - shape.taps + 600;
    const size_t count =
        static_cast<size_t>(std::max(std::clamp<int64_t>(wanted, 600, 20000 / work_scale), past_compaction));
    std::vector<float> in_i(count), in_q(count);
    for (size_t n = 0; n < count; ++n) {
      in_i[n] = spread_value(rng);
      in_q[n] = spread_value(rng);
    }
    const std::unique_ptr<FirFilter> start = random_filter(rng, shape.taps, shape.decimation);
    auto expected_record = std::make_unique<FirFilter>(*start);
    const Outputs expected = push_singly(*expected_record, in_i, in_q);
    const uint32_t split_seed = static_cast<uint32_t>(rng());
    for (int64_t target : targets) {
      fir_block_force_target(target);
      auto record = std::make_unique<FirFilter>(*start);
      const Outputs got = push_in_blocks(*record, *work, in_i, in_q, split_seed);
      const std::string where = std::string(fir_block_target_name(target)) + ", taps " +
                                std::to_string(shape.taps) + ", decimation " + std::to_string(shape.decimation);
      EXPECT_TRUE(same_bits(got.i, expected.i)) << where << ": I differs from output "
                                                << first_difference(got.i, expected.i) << " of "
                                                << expected.i.size();
      EXPECT_TRUE(same_bits(got.q, expected.q)) << where << ": Q differs from output "
                                                << first_difference(got.q, expected.q);
      EXPECT_TRUE(same_record(*record, *expected_record)) << where << ": record differs";
    }
  }
}

// The receiver's own use: its filter from a zeroed record, byte-valued interleaved
// samples in slot-sized runs, with single pushes mixed in between.
TEST_F(FirBlockTest, InterleavedRunsMixWithSinglePushes) {
  auto single = std::make_unique<FirFilter>();
  fir_init_channel(*single, rxiq24_variant);
  auto mixed = std::make_unique<FirFilter>(*single);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  const size_t pairs = static_cast<size_t>(120000 / work_scale);
  std::vector<float> iq(2 * pairs);
  for (float& v : iq) v = static_cast<float>((byte(rng) - 127) / 128.0);
  std::vector<float> in_i(pairs), in_q(pairs);
  for (size_t n = 0; n < pairs; ++n) {
    in_i[n] = iq[2 * n];
    in_q[n] = iq[2 * n + 1];
  }
  const Outputs expected = push_singly(*single, in_i, in_q);

  Outputs got;
  std::vector<float> out_i(pairs), out_q(pairs);
  size_t done = 0;
  float out[2];
  for (int round = 0; done < pairs; ++round) {
    // Alternate a slot-sized run with a few single pushes, so runs start at every phase.
    const size_t run = std::min<size_t>(round % 2 == 0 ? 32768 : 1 + static_cast<size_t>(round) % 31, pairs - done);
    if (round % 2 == 0) {
      const int32_t produced = fir_push_block_iq(*mixed, *work, iq.data() + 2 * done, static_cast<int32_t>(run),
                                                 out_i.data(), out_q.data());
      got.i.insert(got.i.end(), out_i.begin(), out_i.begin() + produced);
      got.q.insert(got.q.end(), out_q.begin(), out_q.begin() + produced);
    } else {
      for (size_t n = done; n < done + run; ++n) {
        if (fir_push(*mixed, in_i[n], in_q[n], out) == 1) {
          got.i.push_back(out[0]);
          got.q.push_back(out[1]);
        }
      }
    }
    done += run;
  }
  EXPECT_EQ(got.i.size(), pairs / 25);
  EXPECT_TRUE(same_bits(got.i, expected.i)) << "I differs from output " << first_difference(got.i, expected.i);
  EXPECT_TRUE(same_bits(got.q, expected.q)) << "Q differs from output " << first_difference(got.q, expected.q);
  EXPECT_TRUE(same_record(*mixed, *single));
}

TEST_F(FirBlockTest, EmptyRunsAndRunsWithoutAnOutput) {
  std::mt19937 rng(3);
  const std::unique_ptr<FirFilter> start = random_filter(rng, 256, 25);
  start->phase = 0;
  auto record = std::make_unique<FirFilter>(*start);
  const std::vector<float> in(30, 0.5f);
  float out_i[4] = {-1.0f, -1.0f, -1.0f, -1.0f};
  float out_q[4] = {-1.0f, -1.0f, -1.0f, -1.0f};

  EXPECT_EQ(fir_push_block(*record, *work, in.data(), in.data(), 0, out_i, out_q), 0);
  EXPECT_TRUE(same_record(*record, *start));

  // 24 samples complete no period; the 25th does, and the outputs are left alone until then.
  EXPECT_EQ(fir_push_block(*record, *work, in.data(), in.data(), 24, out_i, out_q), 0);
  EXPECT_EQ(record->phase, 24);
  EXPECT_EQ(out_i[0], -1.0f);
  EXPECT_EQ(fir_push_block_iq(*record, *work, in.data(), 1, out_i, out_q), 1);
  EXPECT_EQ(record->phase, 0);
  EXPECT_EQ(out_i[1], -1.0f);
  EXPECT_EQ(out_q[1], -1.0f);
}

}  // namespace
