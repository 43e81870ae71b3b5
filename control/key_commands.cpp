#include "control/key_commands.h"

#include "control/listening.h"
#include "core/print_console.h"
#include "terminal/key_decoder.h"
#include "tuner/tuner_range.h"

namespace {

void toggle(std::atomic<int32_t>& flag) { flag.store(flag.load() == 0 ? 1 : 0); }

// Up and Down: the listening channel's squelch.
void step_squelch(RxState& s, bool up) {
  if (s.listen_mode.load(std::memory_order_relaxed) == 0) {
    print_console("%s", no_listening_channel_text);
    return;
  }
  const int32_t tenths = squelch_after_key(s.squelch.load(std::memory_order_relaxed), up);
  s.squelch.store(tenths, std::memory_order_relaxed);
  print_console("%s\n", squelch_text(tenths).c_str());
}

// L: the listening channel's next mode that its offset allows.
void cycle_listen_mode(RxState& s, const Variant& variant) {
  const auto mode = static_cast<ListenMode>(s.listen_mode.load(std::memory_order_relaxed));
  if (mode == ListenMode::off) {
    print_console("%s", no_listening_channel_text);
    return;
  }
  const int32_t offset = s.listen_offset.load(std::memory_order_relaxed);
  const ListenMode next = next_listen_mode(variant, mode, offset);
  s.listen_mode.store(static_cast<int32_t>(next), std::memory_order_relaxed);
  print_console("%s\n", listening_text(next, offset).c_str());
}

}  // namespace

Retune request_frequency(RxState& state, int64_t hz) {
  if (!tuner_range_holds(tuner_range(state.tuner_type.load()), hz)) return Retune::out_of_range;
  if (state.device.load() == nullptr) return Retune::no_dongle;
  // The field holds frequencies above 2^31 Hz as their unsigned bits.
  state.frequency.store(static_cast<int32_t>(static_cast<uint32_t>(hz)));
  return Retune::asked;
}

bool key_command(const KeyTargets& keys, int virtual_key) {
  RxState& s = keys.state;
  if (keys.prompt != nullptr && keys.prompt->open) {
    frequency_prompt_key(*keys.prompt, s, virtual_key);
    return true;
  }
  switch (virtual_key) {
    case vk_escape:
      return false;
    case vk_prior:
      s.spectrum_debug.store(1);
      break;
    case vk_next:
      s.spectrum_debug.store(0);
      break;
    case vk_left:
      if (s.device.load() != nullptr) s.frequency.store(frequency_step(s.frequency.load(), -key_frequency_step));
      break;
    case vk_right:
      if (s.device.load() != nullptr) s.frequency.store(frequency_step(s.frequency.load(), key_frequency_step));
      break;
    case vk_up:
      step_squelch(s, true);
      break;
    case vk_down:
      step_squelch(s, false);
      break;
    case vk_home:
      if (s.gain_index.load() < s.gain_count.load() - 1) s.gain_index.fetch_add(1);
      break;
    case vk_end:
      if (s.gain_index.load() != 0) s.gain_index.fetch_sub(1);
      break;
    case 'F':
      if (keys.prompt != nullptr) frequency_prompt_open(*keys.prompt);
      break;
    case 'L':
      cycle_listen_mode(s, keys.variant);
      break;
    case 'M':
      toggle(s.agc_mode);
      break;
    case 'N':
      s.tuner_gain_mode.store(s.tuner_gain_mode.load() < 2 ? s.tuner_gain_mode.load() + 1 : 0);
      break;
    case 'R':
      if (keys.toggle_recording) keys.toggle_recording(keys.context);
      break;
    case 'T':
      toggle(s.top_flag);
      print_console("\nTop %u      \n", static_cast<unsigned>(s.top_flag.load()));
      break;
    case 'V':
      if (s.display_on.load() == 0) {
        s.display_run.store(1);
        if (keys.start_display) keys.start_display(keys.context);
        s.display_on.store(1);
      } else {
        s.display_run.store(0);
        s.display_on.store(0);
      }
      break;
    default:
      break;  // no other key has an effect
  }
  return true;
}
