// Key F: a one-line prompt where the user types a frequency (plain Hz, or with k, M or G)
// and Enter tunes to it. While it is open every key goes to it; Esc or an empty line
// closes it without tuning, and without quitting the receiver.
#pragma once

#include <string>

#include "core/rx_state.h"

// The most characters the prompt takes: enough for any frequency the tuner can reach.
inline constexpr size_t frequency_prompt_max_chars = 16;

inline constexpr const char* frequency_prompt_text = "\nFrequency (Hz, or with k, M or G): ";

struct FrequencyPrompt {
  bool open = false;
  std::string typed;
};

// Opens the prompt and shows it.
void frequency_prompt_open(FrequencyPrompt& prompt);

// One key while the prompt is open: digits, a decimal point and a suffix are typed and
// echoed, Backspace takes the last one back, Enter tunes (or says why not), Esc cancels.
void frequency_prompt_key(FrequencyPrompt& prompt, RxState& state, int virtual_key);
