// The control port's command parser on any line: never a read past the end, every answer
// made of whole lines, no more answers than commands could ask for, and whatever it
// tunes to lies in the tuner's range, whatever mode the listening channel takes fits its
// offset. The typed-frequency parser gets the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/frequency_text.h"
#include "control/listening.h"
#include "control/rigctl_protocol.h"
#include "tuner/tuner_range.h"
#include "variants/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RxState* state = new RxState(rxiq12_variant);
  static RigctlShared* shared = new RigctlShared;
  static std::atomic<float>* level = new std::atomic<float>(-20.0f);
  static std::atomic<uint8_t>* squelch_open = new std::atomic<uint8_t>(1);
  state->device.store(reinterpret_cast<Dongle*>(uintptr_t{0x1000}));
  state->gain_count.store(29);
  state->frequency.store(145725000);
  // A listening channel where fm and am do not fit, so that refusals are reached too.
  constexpr int32_t offset = 15000;
  state->listen_mode.store(static_cast<int32_t>(ListenMode::usb));
  state->listen_offset.store(offset);
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  bool quit = false;
  const std::string answer = rigctl_answer(RigctlLinks{*state, *shared, rxiq12_variant, level, squelch_open}, line, quit);
  if (!answer.empty() && answer.back() != '\n') std::abort();
  // Every command takes at least one byte and answers at most \dump_state's block.
  if (answer.size() > (size + 1) * 2048) std::abort();
  const uint32_t tuned = static_cast<uint32_t>(state->frequency.load());
  if (tuned != 145725000u && !tuner_range_holds(tuner_range(state->tuner_type.load()), tuned)) {
    std::abort();
  }
  if (!listen_mode_fits(rxiq12_variant, static_cast<ListenMode>(state->listen_mode.load()), offset)) std::abort();
  const int32_t squelch = state->squelch.load();
  if (squelch != squelch_off && (squelch < squelch_min_tenths || squelch > squelch_max_tenths)) std::abort();
  const int32_t index = state->gain_index.load();
  if (index < 0 || index > 28) std::abort();

  uint32_t hz = 0;
  if (parse_frequency_text(line, hz) && hz > max_frequency_hz) std::abort();
  return 0;
}
