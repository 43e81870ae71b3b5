// The listening channel's settings: which demodulator, where in the band, and the
// squelch. Shared by the command line, the keys, the control port and the DSP thread,
// which applies them (RxState holds the requests).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "variants/variant.h"

// The order is the order key L cycles through.
enum class ListenMode : int32_t { off = 0, fm, wfm, am, usb, lsb };
inline constexpr int32_t listen_mode_count = 6;

// "fm", "wfm", "am", "usb", "lsb"; "off" for none.
const char* listen_mode_name(ListenMode mode);
// Upper case, as the console and the control port show it: "FM", "WFM", ...
const char* listen_mode_label(ListenMode mode);

struct ListenChoice {
  ListenMode mode = ListenMode::off;
  int32_t offset_hz = 0;  // from the tuned frequency
};

// Reads MODE[@OFFSET] ("fm", "usb@1500", "fm@-12500"). False, with a one-line reason in
// error, for anything else. Does not check the offset against a band (see below).
bool parse_listen_choice(std::string_view text, ListenChoice& choice, std::string& error);

// How far from the tuned frequency the mode's channel may be centred: its channel must
// lie inside the clean part of the band it is taken from (the baseband for fm, am, usb
// and lsb; the dongle's own stream for wfm).
int32_t listen_offset_limit(const Variant& variant, ListenMode mode);

// Whether choice fits the variant; false with a one-line reason that names the limit.
bool listen_choice_fits(const Variant& variant, const ListenChoice& choice, std::string& error);

// Squelch threshold, tenths of a dB relative to full scale; squelch_off keeps it open.
inline constexpr int32_t squelch_off = INT32_MIN;
inline constexpr int32_t squelch_min_tenths = -1200;
inline constexpr int32_t squelch_max_tenths = 0;
inline constexpr int32_t squelch_key_step_tenths = 20;     // Up and Down move it 2 dB
inline constexpr int32_t squelch_key_start_tenths = -800;  // where Up starts from off
inline constexpr int32_t squelch_hysteresis_tenths = 30;   // closes 3 dB below where it opens

// Reads a squelch level in dB ("-60", "-62.5") or "off". False for anything else or a
// level outside -120 to 0 dB.
bool parse_squelch_text(std::string_view text, int32_t& tenths);

// De-emphasis time constants, microseconds: narrow FM takes 0 (flat, for data decoders)
// or 750; wide FM 0, 50 or 75.
inline constexpr int32_t fm_deemphasis_default_us = 0;
inline constexpr int32_t fm_deemphasis_voice_us = 750;
inline constexpr int32_t wfm_deemphasis_default_us = 50;
inline constexpr int32_t wfm_deemphasis_americas_us = 75;

// Reads a de-emphasis choice, microseconds: 750 turns narrow FM's on, 50 or 75 set wide
// FM's, 0 makes both flat. The mode a choice does not name keeps its setting. False, with
// both left alone, for anything else.
bool apply_deemphasis_text(std::string_view text, int32_t& fm_us, int32_t& wfm_us);
