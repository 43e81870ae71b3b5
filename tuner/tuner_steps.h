// The tuner thread's steps, each in its own file: opening and configuring the dongle,
// and applying the requests that keys have recorded in RxState.
#pragma once

#include <cstdint>
#include <string>

#include "tuner/tuner_thread.h"

// The settings last applied to the dongle. A request is a field of RxState that differs
// from its copy here; applying it updates the copy first, so a failed call is not
// retried.
struct TunerApplied {
  int32_t agc_mode = 0;
  int32_t frequency = 0;
  int32_t gain_index = 0;
  int32_t tuner_gain_mode = 0;  // captured on the first pass of the read loop
  int32_t gain_count = 0;       // entries of the gain list read at start-up
};

// An applied gain index that no request equals: the gain is sent again on the next check.
inline constexpr int32_t gain_not_applied = -1;

inline double in_db(int tenths) { return tenths * 0.1; }

// Lists the dongles, opens the chosen one and configures it: gain list, start gain,
// AGC, frequency, rate, buffer reset with its discarded read, frequency correction.
// Returns the open dongle, or null (nothing left open) when any step that must succeed
// failed; the reason is printed.
// serial receives the opened dongle's serial number, by which it is looked for again.
Dongle* tuner_open(TunerLinks& links, TunerApplied& applied, uint8_t* read_buffer, std::string& serial);

// Opens the dongle again after it was gone: the one with `serial` when it has one, else
// the one at dev_index; then applies everything in force now (frequency, correction,
// gain mode, gain, AGC, the options), quietly. Null when it is not there (yet).
Dongle* tuner_reopen(TunerLinks& links, TunerApplied& applied, uint8_t* read_buffer, const std::string& serial);

// Closes the dongle, switching the bias tee off first when the session switched it on:
// an amplifier left powered at the antenna is not what anyone expects after quitting.
void tuner_close(TunerLinks& links, Dongle* dev);

// Applies every request that differs from its applied copy, after a read.
void tuner_apply_requests(TunerLinks& links, Dongle* dev, TunerApplied& applied, bool first_pass);
