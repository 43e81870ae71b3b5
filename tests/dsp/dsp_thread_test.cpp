#include "dsp/dsp_thread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/fft.h"
#include "dsp/fir_block.h"
#include "platform/console_out.h"
#include "tests/support/console_capture.h"
#include "tests/support/dsp_chain.h"
#include "tests/support/dsp_reference.h"

namespace {

using Rig = ChainRig;

TEST(DspConversion, ByteTableAndPairs) {
  Rig rig;
  const float* table = rig.dsp->sample_table;
  EXPECT_EQ(table[0], -0.9921875f);
  EXPECT_EQ(table[127], 0.0f);
  EXPECT_EQ(table[128], 0.0078125f);
  EXPECT_EQ(table[255], 1.0f);

  // The first samples land in the spectrum capture as converted; the odd byte is ignored.
  const uint8_t bytes[5] = {127, 127, 255, 0, 200};
  EXPECT_EQ(dsp_process_bytes(rig.chain(), bytes, 5), 2);
  EXPECT_EQ(rig.dsp->capture_re[0], 0.0f);
  EXPECT_EQ(rig.dsp->capture_im[0], 0.0f);
  EXPECT_EQ(rig.dsp->capture_re[1], 1.0f);
  EXPECT_EQ(rig.dsp->capture_im[1], -0.9921875f);
  EXPECT_EQ(rig.filter->phase, 2);
}

TEST(DspConversion, VectorConversionGivesTheTableBitsOnEveryPath) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(4099);  // odd, so every path also runs its scalar tail
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  for (int v = 0; v < 256; ++v) bytes[static_cast<size_t>(v)] = static_cast<uint8_t>(v);
  // 128 is the receiver's divisor (the vector form); 100 and 3 are not powers of two, so
  // the table itself is used.
  for (float delitel : {128.0f, 100.0f, 3.0f, 0.5f}) {
    auto dsp = std::make_unique<DspState>();
    dsp->Delitel = delitel;
    dsp_build_table(*dsp);
    EXPECT_EQ(dsp->table_linear, delitel == 128.0f || delitel == 0.5f) << delitel;
    for (int64_t target : fir_block_targets()) {
      fir_block_force_target(target);
      std::vector<float> out(bytes.size(), -7.0f);
      dsp_convert_bytes(*dsp, bytes.data(), static_cast<int32_t>(bytes.size()), out.data());
      for (size_t k = 0; k < bytes.size(); ++k) {
        ASSERT_EQ(std::memcmp(&out[k], &dsp->sample_table[bytes[k]], sizeof(float)), 0)
            << "Delitel " << delitel << ", byte " << int(bytes[k]) << ", path "
            << fir_block_target_name(target);
      }
    }
    fir_block_force_target(0);
  }
}

// The level the control port reports: a complex tone of amplitude a reads 20 log10 a dB,
// whatever the output gain does to the block afterwards.
TEST(DspLevelControl, BlockLevelIsThePowerBeforeScalingInDbFullScale) {
  Rig rig;
  DspState& dsp = *rig.dsp;
  EXPECT_EQ(dsp.level_dbfs.load(), no_level_dbfs) << "nothing before the first block";
  dsp.out_count = block_frames;
  for (int k = 0; k < block_frames; ++k) {
    const double phase = 2 * std::numbers::pi * k / 48.0;
    dsp.out_i[k] = static_cast<float>(0.5 * std::cos(phase));
    dsp.out_q[k] = static_cast<float>(0.5 * std::sin(phase));
  }
  dsp_produce_block(rig.chain());
  EXPECT_NEAR(dsp.level_dbfs.load(), -6.02, 0.01);
  for (int k = 0; k < block_frames; ++k) dsp.out_i[k] = dsp.out_q[k] = 0.0f;
  dsp_produce_block(rig.chain());
  EXPECT_EQ(dsp.level_dbfs.load(), no_level_dbfs) << "silence has no level";
}

TEST(DspLevelControl, DesignedCases) {
  Rig rig;
  DspState& dsp = *rig.dsp;
  // A first frame of 0.1 at 430,000: backs off to 327,679 and the block ends at 327,680.
  dsp.out_i[0] = 0.1f;
  dsp_produce_block(rig.chain());
  ASSERT_EQ(rig.blocks.size(), 1u);
  EXPECT_EQ(rig.blocks[0][0], 32767);
  EXPECT_EQ(rig.blocks[0][1], 0);
  EXPECT_EQ(dsp.Usilitel, 327680.0f);

  // An all-zero block leaves the gain alone and then recovers exactly one unit.
  dsp.out_i[0] = 0.0f;
  dsp_produce_block(rig.chain());
  EXPECT_EQ(dsp.Usilitel, 327681.0f);
  for (int16_t v : rig.blocks[1]) ASSERT_EQ(v, 0);

  // Recovery stalls at 2^24, where adding 1.0 rounds back in float.
  dsp.Usilitel = 16777216.0f;
  dsp_produce_block(rig.chain());
  EXPECT_EQ(dsp.Usilitel, 16777216.0f);

  // Negative products that would truncate to -32,768 back off too; truncation is toward zero.
  dsp.Usilitel = 430000.0f;
  dsp.out_i[0] = -0.1f;
  dsp.out_q[0] = -0.05f;
  dsp_produce_block(rig.chain());
  EXPECT_EQ(rig.blocks[3][0], -32767);
  EXPECT_EQ(rig.blocks[3][1], -16383);
  dsp.Usilitel = 1.0f;
  dsp.out_i[0] = -0.9f;
  dsp.out_q[0] = 1.9f;
  dsp_produce_block(rig.chain());
  EXPECT_EQ(rig.blocks[4][0], 0);
  EXPECT_EQ(rig.blocks[4][1], 1);

  // The Q product is rounded to float before truncation: 25 x 1310.71997 is
  // 32,767.99927 in double but 32,768 in float, so only on Q does it force a back-off.
  dsp.Usilitel = 25.0f;
  dsp.out_i[0] = 1310.71997f;
  dsp.out_q[0] = 0.0f;
  dsp_scale_block(dsp);
  EXPECT_EQ(dsp.Usilitel, 25.0f);
  EXPECT_EQ(dsp.pcm_block[0], 32767);
  dsp.out_i[0] = 0.0f;
  dsp.out_q[0] = 1310.71997f;
  dsp_scale_block(dsp);
  EXPECT_EQ(dsp.Usilitel, 24.0f);
}

TEST(DspLevelControl, FastMatchesStepwiseBitForBit) {
  auto fast = std::make_unique<DspState>();
  auto slow = std::make_unique<DspState>();
  std::mt19937 rng(5120);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 9);
  for (int block = 0; block < 40; ++block) {
    // Start over now and then, from integral and fractional gains alike.
    if (block % 10 == 0) slow->Usilitel = block % 20 == 0 ? 430000.0f : 12345.75f;
    if (block == 5) slow->Usilitel = 16777216.0f;
    // Edge frames are placed against the gain in force at that frame, which this
    // steering loop follows; it only shapes the input, the comparison is below.
    double g = slow->Usilitel;
    auto edge = [&](double limit) {
      float v = static_cast<float>(limit / g);
      for (int steps = pick(rng) % 5; steps > 0; --steps) v = std::nextafter(v, 0.0f);
      return pick(rng) % 2 ? v : -v;
    };
    for (int k = 0; k < block_frames; ++k) {
      float x = 0.0f, y = 0.0f;
      switch (pick(rng)) {
        case 0:  // right at the clipping edge, where the float rounding of Q decides
          x = edge(32768.0);
          y = edge(32768.0);
          break;
        case 1:
          x = unit(rng) * 0.01f;
          y = edge(32768.0);
          break;
        case 2:  // a strong frame: a long back-off
          if (pick(rng) < 3) {
            x = unit(rng) * 1.2f;
            y = unit(rng) * 1.2f;
          }
          break;
        default:
          x = unit(rng) * 0.01f;
          y = unit(rng) * 0.01f;
      }
      slow->out_i[k] = x;
      slow->out_q[k] = y;
      while (std::fabs(std::trunc(g * x)) > 32767.0 || std::fabs(std::trunc(static_cast<float>(g * y))) > 32767.0f) {
        g -= 1.0;
      }
    }
    std::memcpy(fast->out_i, slow->out_i, sizeof slow->out_i);
    std::memcpy(fast->out_q, slow->out_q, sizeof slow->out_q);
    fast->Usilitel = slow->Usilitel;
    dsp_scale_block_reference(*slow);
    dsp_scale_block(*fast);
    ASSERT_EQ(std::memcmp(fast->pcm_block, slow->pcm_block, sizeof fast->pcm_block), 0) << "block " << block;
    ASSERT_EQ(fast->Usilitel, slow->Usilitel) << "block " << block;
    for (int16_t v : slow->pcm_block) ASSERT_NE(v, -32768);
    slow->Usilitel += 1.0f;
  }
}

TEST(DspSpectrumTap, SnapshotsEvery51024SamplesWithLevelLine) {
  Rig rig;
  ConsoleCapture console;
  rig.state.spectrum_debug.store(1);

  std::vector<float> iq(2 * 110000);
  for (size_t t = 0; t < iq.size() / 2; ++t) {
    iq[2 * t] = std::sin(0.001f * t);
    iq[2 * t + 1] = std::cos(0.003f * t);
  }
  auto expected_spectrum = [&](size_t first) {
    std::vector<float> re(spectrum_size), im(spectrum_size);
    for (int k = 0; k < spectrum_size; ++k) {
      re[k] = iq[2 * (first + k)];
      im[k] = iq[2 * (first + k) + 1];
    }
    fft_radix2(re.data(), im.data(), spectrum_log2_size);
    return std::make_pair(re, im);
  };
  auto published_equals = [&](const std::pair<std::vector<float>, std::vector<float>>& want) {
    std::vector<float> re(spectrum_size), im(spectrum_size);
    return spectrum_copy(*rig.spectrum, re.data(), im.data()) && re == want.first && im == want.second;
  };

  dsp_process_samples(rig.chain(), iq.data(), 1023);
  EXPECT_EQ(rig.spectrum->spectrum_ready.load(), 0);
  dsp_process_samples(rig.chain(), iq.data() + 2 * 1023, 1);
  EXPECT_EQ(rig.spectrum->spectrum_ready.load(), 1);
  EXPECT_TRUE(published_equals(expected_spectrum(0)));

  // The next 50,000 samples are skipped; the second snapshot is samples 51,025..52,048.
  rig.spectrum->spectrum_ready.store(0);
  dsp_process_samples(rig.chain(), iq.data() + 2 * 1024, 51024 + 1023 - 1024);
  EXPECT_EQ(rig.spectrum->spectrum_ready.load(), 0);
  dsp_process_samples(rig.chain(), iq.data() + 2 * (51024 + 1023), 1);
  EXPECT_EQ(rig.spectrum->spectrum_ready.load(), 1);
  EXPECT_TRUE(published_equals(expected_spectrum(51024)));

  EXPECT_EQ(console.text(),
            "Delitel = 128   Usilitel = 430000\n"
            "Delitel = 128   Usilitel = 430000\n");
}

}  // namespace
