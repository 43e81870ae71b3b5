// The control port's command parser on any line: never a read past the end, every answer
// made of whole lines, no more answers than commands could ask for, and whatever it
// tunes to lies in the tuner's range. The typed-frequency parser gets the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/frequency_text.h"
#include "control/rigctl_protocol.h"
#include "tuner/tuner_range.h"
#include "variants/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RxState* state = new RxState(rxiq12_variant);
  static RigctlShared* shared = new RigctlShared;
  static std::atomic<float>* level = new std::atomic<float>(-20.0f);
  state->device.store(reinterpret_cast<Dongle*>(uintptr_t{0x1000}));
  state->gain_count.store(29);
  state->frequency.store(145725000);
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  bool quit = false;
  const std::string answer = rigctl_answer(RigctlLinks{*state, *shared, level}, line, quit);
  if (!answer.empty() && answer.back() != '\n') std::abort();
  // Every command takes at least one byte and answers at most \dump_state's block.
  if (answer.size() > (size + 1) * 2048) std::abort();
  const uint32_t tuned = static_cast<uint32_t>(state->frequency.load());
  if (tuned != 145725000u && !tuner_range_holds(tuner_range(state->tuner_type.load()), tuned)) {
    std::abort();
  }
  const int32_t index = state->gain_index.load();
  if (index < 0 || index > 28) std::abort();

  uint32_t hz = 0;
  if (parse_frequency_text(line, hz) && hz > max_frequency_hz) std::abort();
  return 0;
}
