// RxState: the settings and flags through which the receiver's threads talk.
// The main thread (keys, command line) and the control port's thread write requests;
// the thread that owns a device applies them. A request is a plain store of the value
// wanted, so two writers at once leave one of their values, as two quick keys would.
// Every field that more than one thread touches is an atomic; plain relaxed loads and
// stores are enough, since a reader only acts one pass late at worst.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/listen_mode.h"
#include "variants/variant.h"

struct Dongle;  // an open dongle, owned by the tuner thread

inline constexpr int32_t initial_frequency = 145725000;
inline constexpr int32_t initial_ppm_error = 48;
inline constexpr int max_gains = 100;

struct RxState {
  explicit RxState(const Variant& v) : gain(v.gain) {}

  std::atomic<int32_t> frequency{initial_frequency};  // Hz, printed unsigned
  std::atomic<int32_t> out_device{-1};                 // wave-output id, -1 = default
  std::atomic<int32_t> ppm_error{initial_ppm_error};
  std::atomic<int32_t> dev_index{0};
  std::atomic<int32_t> gain;                           // dB, read once by the tuner thread
  std::atomic<int32_t> tuner_gain_mode{1};             // 0, 1 or 2
  std::atomic<int32_t> agc_mode{0};                    // 0 or 1
  int32_t gains[max_gains] = {};                       // tenths of a dB; tuner thread only
  std::atomic<int32_t> gain_count{0};
  std::atomic<int32_t> gain_index{0};
  std::atomic<Dongle*> device{nullptr};
  std::atomic<int32_t> tuner_type{0};                  // librtlsdr's numbering; set once open
  std::atomic<uint8_t> running{1};
  std::atomic<int32_t> stream_stop{0};
  std::atomic<uint64_t> failed_reads{0};  // reads that brought nothing; tuner thread writes
  std::atomic<int32_t> display_on{0};
  std::atomic<uint8_t> display_run{0};
  std::atomic<int32_t> spectrum_debug{0};
  std::atomic<int32_t> top_flag{0};
  // The listening channel (slot 1): the DSP thread applies these at its next block.
  std::atomic<int32_t> listen_mode{0};        // a ListenMode; 0 (off): no channel
  std::atomic<int32_t> listen_offset{0};      // Hz from the tuned frequency
  std::atomic<int32_t> squelch{squelch_off};  // tenths of a dB relative to full scale
  std::atomic<int32_t> fm_deemphasis_us{fm_deemphasis_default_us};
  std::atomic<int32_t> wfm_deemphasis_us{wfm_deemphasis_default_us};
};

// Hz per press of Left or Right.
inline constexpr int32_t key_frequency_step = 50;

// Frequency steps wrap as 32-bit integers; done in unsigned arithmetic so that the
// wrap is defined.
inline int32_t frequency_step(int32_t frequency, int32_t step) {
  return static_cast<int32_t>(static_cast<uint32_t>(frequency) + static_cast<uint32_t>(step));
}
