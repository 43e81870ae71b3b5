// Hamlib's network rigctl protocol, as rigctld serves it (Hamlib's "NET rigctl" model 2):
// a line of commands in, their answers out. Set commands answer "RPRT 0" (or a negative
// Hamlib error code); get commands answer their values, one a line; a command prefixed
// with '+' or another punctuation mark answers in the extended form, which names the
// command and each value. Requests go into RxState, as the keys' do, and the tuner
// thread applies them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/rx_state.h"
#include "variants/variant.h"

// Hamlib's error codes, as the protocol carries them (negated).
inline constexpr int rig_ok = 0;
inline constexpr int rig_einval = 1;   // an invalid parameter
inline constexpr int rig_eproto = 8;   // a protocol error
inline constexpr int rig_enavail = 11; // not available: a receiver cannot, or not yet

// The modes the port takes, with Hamlib's names; the listening channel's modes. The
// packet modes are the same demodulators as FM, USB and LSB.
enum class RigMode : int32_t { am, usb, lsb, fm, wfm, pktusb, pktlsb, pktfm };

// What every connection shares beside RxState: the mode and passband asked for last.
struct RigctlShared {
  std::atomic<RigMode> mode{RigMode::fm};
  std::atomic<int32_t> passband{0};  // Hz; 0 until set: the mode's own
};

struct RigctlLinks {
  RxState& state;
  RigctlShared& shared;
  const Variant& variant;  // its band bounds the listening channel's offset
  // The baseband's level (DspState::level_dbfs, no_level_dbfs before the first block).
  const std::atomic<float>* level_dbfs = nullptr;
  // The listening channel's squelch (ListenChannel::squelch_open), for carrier detect.
  const std::atomic<uint8_t>* squelch_open = nullptr;
  // AOS (start true) and LOS (false): the recording. Null: they do nothing.
  void (*pass_mark)(void* context, bool start) = nullptr;
  void* pass_context = nullptr;
};

// Hamlib's squelch level, 0 to 1, and the threshold in tenths of a dB: 0 is off, any
// other v is -120 + 120 v dB.
int32_t squelch_from_level(double level);
double level_from_squelch(int32_t tenths);

// The listening mode a port mode plays with.
ListenMode listen_mode_of(RigMode mode);

// Answers one line (without its line end). quit is set when the client asked to close
// (q or Q); the answers before it are still to be sent.
std::string rigctl_answer(const RigctlLinks& links, std::string_view line, bool& quit);

// The mode's Hamlib name, and the passband it has when none is given.
const char* rig_mode_name(RigMode mode);
int32_t rig_mode_default_passband(RigMode mode);
