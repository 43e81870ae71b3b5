// The receiver's keys. Keys only record requests in RxState; the thread that owns a
// device applies them on its next pass.
#pragma once

#include "control/frequency_prompt.h"
#include "core/rx_state.h"
#include "variants/variant.h"

// What the keys act on: the receiver's requests, its variant (whose band bounds the
// listening offsets), how V starts the display thread, and the prompt of key F.
struct KeyTargets {
  RxState& state;
  const Variant& variant;
  void (*start_display)(void* context) = nullptr;
  void* context = nullptr;
  FrequencyPrompt* prompt = nullptr;
  void (*toggle_recording)(void* context) = nullptr;  // key R
};

// What became of a request to tune to a frequency.
enum class Retune { asked, out_of_range, no_dongle };

// Asks the tuner for hz when it lies in the range of the dongle's tuner and a dongle is
// open (as Left and Right, which step only an open dongle). The typed frequency of key F
// and the control port's F both come here.
Retune request_frequency(RxState& state, int64_t hz);

// Acts on one key-down of the given virtual-key code. Returns false for Esc, which
// ends the key loop; true for every other key. While the prompt is open every key,
// Esc included, goes to it.
bool key_command(const KeyTargets& keys, int virtual_key);
