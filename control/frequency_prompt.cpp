#include "control/frequency_prompt.h"

#include <cstdint>

#include "control/frequency_text.h"
#include "control/key_commands.h"
#include "core/print_console.h"
#include "terminal/key_decoder.h"
#include "tuner/tuner_range.h"

namespace {

// The character a key types into the prompt, or 0 for one that types nothing.
char typed_char(int key) {
  if (key >= '0' && key <= '9') return static_cast<char>(key);
  if (key >= vk_numpad0 && key <= vk_numpad0 + 9) return static_cast<char>('0' + key - vk_numpad0);
  if (key == vk_oem_period || key == vk_decimal || key == vk_oem_comma) return '.';
  if (key == 'K') return 'k';
  if (key == 'M' || key == 'G') return static_cast<char>(key);
  return 0;
}

void tune(RxState& state, const std::string& typed) {
  uint32_t hz = 0;
  if (!parse_frequency_text(typed, hz)) {
    print_console("\nNot tuned: '%s' is not a frequency (145800000, 145800k, 145.8M, 1.2G)\n",
                  typed.c_str());
    return;
  }
  switch (request_frequency(state, hz)) {
    case Retune::asked:
      print_console("\nTuning to %u Hz\n", hz);
      break;
    case Retune::out_of_range: {
      const TunerRange range = tuner_range(state.tuner_type.load());
      print_console("\nNot tuned: %u Hz is outside the tuner's range, %u to %u Hz\n", hz,
                    range.low_hz, range.high_hz);
      break;
    }
    case Retune::no_dongle:
      print_console("\nNot tuned: no dongle is open\n");
      break;
  }
}

}  // namespace

void frequency_prompt_open(FrequencyPrompt& prompt) {
  prompt.open = true;
  prompt.typed.clear();
  print_console("%s", frequency_prompt_text);
}

void frequency_prompt_key(FrequencyPrompt& prompt, RxState& state, int virtual_key) {
  if (virtual_key == vk_escape || (virtual_key == vk_return && prompt.typed.empty())) {
    prompt.open = false;
    print_console("\n");
    return;
  }
  if (virtual_key == vk_return) {
    prompt.open = false;
    tune(state, prompt.typed);
    return;
  }
  if (virtual_key == vk_back) {
    if (!prompt.typed.empty()) {
      prompt.typed.pop_back();
      print_console("\b \b");
    }
    return;
  }
  const char c = typed_char(virtual_key);
  if (c == 0 || prompt.typed.size() >= frequency_prompt_max_chars) return;
  prompt.typed += c;
  print_console("%c", c);
}
