#include "dsp/fir_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/rx_state.h"
#include "dsp/dsp_thread.h"
#include "dsp/fft.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "tests/support/dsp_chain.h"
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

// The signal chain run by runs (spectrum tap by stretches, block filter) against the
// same chain taken one sample at a time with fir_push: the same PCM blocks, spectra,
// filter record and chain state, whatever the split of the input.
struct Chain : ChainRig {
  Chain() : ChainRig(rxiq24_variant) {}

  // One sample at a time: spectrum tap, then the filter, then a block when it is full.
  int32_t process_singly(const float* iq, int32_t pairs) {
    DspState& d = *dsp;
    float out[2];
    for (int32_t n = 0; n < pairs; ++n) {
      if (state.running.load() == 0) return n;
      const float i_sample = iq[2 * n];
      const float q_sample = iq[2 * n + 1];
      if (d.spectrum_skip != 0) {
        d.spectrum_skip += 1;
        if (d.spectrum_skip > spectrum_skip_samples) d.spectrum_skip = 0;
      } else {
        d.capture_re[d.spectrum_pos] = i_sample;
        d.capture_im[d.spectrum_pos] = q_sample;
        d.spectrum_pos += 1;
        if (d.spectrum_pos > spectrum_size - 1) {
          d.spectrum_pos = 0;
          fft_radix2(d.capture_re, d.capture_im, spectrum_log2_size);
          d.spectrum_skip = 1;
          spectrum_publish(*spectrum, d.capture_re, d.capture_im);
        }
      }
      if (fir_push(*filter, i_sample, q_sample, out) == 1) {
        d.out_i[d.out_count] = out[0];
        d.out_q[d.out_count] = out[1];
        d.out_count += 1;
        if (d.out_count == block_frames) {
          dsp_produce_block(chain());
          d.out_count = 0;
        }
      }
    }
    return pairs;
  }
};

void expect_same_chain(Chain& got, Chain& expected) {
  EXPECT_EQ(got.blocks, expected.blocks);
  EXPECT_TRUE(same_record(*got.filter, *expected.filter));
  const DspState& a = *got.dsp;
  const DspState& b = *expected.dsp;
  EXPECT_EQ(std::memcmp(&a.Usilitel, &b.Usilitel, sizeof a.Usilitel), 0);
  EXPECT_EQ(a.out_count, b.out_count);
  EXPECT_EQ(std::memcmp(a.out_i, b.out_i, sizeof a.out_i), 0);
  EXPECT_EQ(std::memcmp(a.out_q, b.out_q, sizeof a.out_q), 0);
  EXPECT_EQ(a.spectrum_pos, b.spectrum_pos);
  EXPECT_EQ(a.spectrum_skip, b.spectrum_skip);
  EXPECT_EQ(std::memcmp(a.capture_re, b.capture_re, sizeof a.capture_re), 0);
  EXPECT_EQ(std::memcmp(a.capture_im, b.capture_im, sizeof a.capture_im), 0);
  EXPECT_EQ(got.spectrum->sequence.load(), expected.spectrum->sequence.load());
  std::vector<float> re_a(spectrum_size), im_a(spectrum_size), re_b(spectrum_size), im_b(spectrum_size);
  ASSERT_TRUE(spectrum_copy(*got.spectrum, re_a.data(), im_a.data()));
  ASSERT_TRUE(spectrum_copy(*expected.spectrum, re_b.data(), im_b.data()));
  EXPECT_TRUE(same_bits(re_a, re_b));
  EXPECT_TRUE(same_bits(im_a, im_b));
}

std::vector<float> chain_input(size_t pairs, uint32_t seed) {
  // Byte-valued samples: a strong tone that drives the level control, plus noise.
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 8.0);
  std::vector<float> iq(2 * pairs);
  for (size_t n = 0; n < pairs; ++n) {
    const double phase = 0.01 * static_cast<double>(n);
    const double i = std::clamp(std::round(127.0 + 90.0 * std::cos(phase) + noise(rng)), 0.0, 255.0);
    const double q = std::clamp(std::round(127.0 + 90.0 * std::sin(phase) + noise(rng)), 0.0, 255.0);
    iq[2 * n] = static_cast<float>((i - 127.0) / 128.0);
    iq[2 * n + 1] = static_cast<float>((q - 127.0) / 128.0);
  }
  return iq;
}

TEST(DspRuns, MatchSampleBySampleProcessing) {
  // Enough for several blocks (128,000 samples each) and snapshots (one per 51,024).
  const int32_t pairs = 400000;
  const std::vector<float> iq = chain_input(pairs, 11);
  Chain expected;
  EXPECT_EQ(expected.process_singly(iq.data(), pairs), pairs);
  ASSERT_EQ(expected.blocks.size(), 3u);

  Chain got;
  std::mt19937 rng(12);
  const int32_t sizes[] = {1, 3, 1023, 1024, 1025, 32768, 50001, 127999, 128001};
  for (int32_t done = 0; done < pairs;) {
    const int32_t count = std::min(sizes[rng() % std::size(sizes)], pairs - done);
    EXPECT_EQ(dsp_process_samples(got.chain(), iq.data() + 2 * static_cast<size_t>(done), count), count);
    done += count;
  }
  expect_same_chain(got, expected);
}

TEST(DspRuns, StopRightAfterTheBlockWhoseSinkClearsRunning) {
  const int32_t pairs = 300000;
  const std::vector<float> iq = chain_input(pairs, 13);
  Chain expected;
  expected.stop_after_block = 2;
  const int32_t expected_done = expected.process_singly(iq.data(), pairs);
  ASSERT_LT(expected_done, pairs);

  Chain got;
  got.stop_after_block = 2;
  EXPECT_EQ(dsp_process_samples(got.chain(), iq.data(), pairs), expected_done);
  expect_same_chain(got, expected);
}

}  // namespace
