// The listening channel as the keys, the control port and the start-up see it: its
// console lines, the squelch's key steps and the mode key's cycle.
#pragma once

#include <cstdint>
#include <string>

#include "core/listen_mode.h"
#include "variants/variant.h"

// "Listening: USB at 1500 Hz" (no line end).
std::string listening_text(ListenMode mode, int32_t offset_hz);

// "Squelch -60.0 dB" or "Squelch off" (no line end).
std::string squelch_text(int32_t tenths);

// What L, Up and Down say when the receiver was started without a channel.
inline constexpr const char* no_listening_channel_text =
    "No listening channel: start the receiver with --listen MODE[@OFFSET] to have one\n";

// The squelch after one press of Up (up true) or Down: 2 dB steps, Up from off starts at
// -80 dB and stops at 0 dB, Down below -120 dB turns it off.
int32_t squelch_after_key(int32_t tenths, bool up);

// Whether a channel of that mode can stand offset_hz from the tuned frequency.
bool listen_mode_fits(const Variant& variant, ListenMode mode, int32_t offset_hz);

// The mode key L turns to: the next of fm, wfm, am, usb, lsb (after lsb, fm again) that
// fits the offset; the mode itself when no other does.
ListenMode next_listen_mode(const Variant& variant, ListenMode mode, int32_t offset_hz);
