// The level control exactly as designed, one step at a time: for each frame the gain
// falls by whole units until neither product, truncated, exceeds 32,767. The receiver's
// fast form must give the same bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/dsp_thread.h"

inline void dsp_scale_block_reference(DspState& dsp) {
  double g = dsp.Usilitel;
  for (int k = 0; k < block_frames; ++k) {
    for (;;) {
      const double a = g * dsp.out_i[k];
      const float b = static_cast<float>(g * dsp.out_q[k]);
      if (std::fabs(std::trunc(a)) > max_pcm || std::fabs(std::trunc(static_cast<double>(b))) > max_pcm) {
        g -= 1.0;
        continue;
      }
      dsp.pcm_block[2 * k] = static_cast<int16_t>(static_cast<int32_t>(a));
      dsp.pcm_block[2 * k + 1] = static_cast<int16_t>(static_cast<int32_t>(b));
      break;
    }
  }
  dsp.Usilitel = static_cast<float>(g);
}
