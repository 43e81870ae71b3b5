// The block filter's SIMD paths as Highway offers them: every target compiled in that the
// processor runs, and a way to pin one for tests and benchmarks.
#include <atomic>

#include <hwy/highway.h>
#include <hwy/targets.h>

#include "dsp/fir_block.h"
#include "dsp/fir_block_kernel.h"

namespace {

std::atomic<int64_t> forced_target{0};

}  // namespace

std::vector<int64_t> fir_block_targets() {
  // The list must not be narrowed by a forced choice.
  const int64_t forced = forced_target.load(std::memory_order_relaxed);
  if (forced != 0) hwy::SetSupportedTargetsForTest(0);
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  if (forced != 0) hwy::SetSupportedTargetsForTest(forced);
  return targets;
}

const char* fir_block_target_name(int64_t target) { return hwy::TargetName(target); }

void fir_block_force_target(int64_t target) {
  forced_target.store(target, std::memory_order_relaxed);
  hwy::SetSupportedTargetsForTest(target);
}

int64_t fir_block_current_target() { return fir_block_simd::target(); }
