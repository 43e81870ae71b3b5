// The command line: up to four positional integers, read with atoi's rules, and the
// options, which may stand before, between or after them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "control/recorder.h"
#include "core/listen_mode.h"
#include "tuner/dongle.h"

struct RxState;
struct Variant;

// atoi as the C library does it on this platform: leading blanks, an optional sign,
// decimal digits; anything else gives 0. Values beyond 32 bits wrap as atoi's do.
int32_t parse_integer(const char* text);

// Frequency, wave-output id, ppm correction, dongle index; missing arguments leave
// their fields alone, extra ones are ignored. Options and their values are skipped.
void parse_command_line(RxState& state, int argc, char** argv);

// What the options ask for.
struct ReceiverOptions {
  bool rigctl = false;  // --rigctl: the control port
  std::string rigctl_address;
  uint16_t rigctl_port = 0;
  ListenChoice listen;             // --listen; mode off: no listening channel
  int32_t listen_device = -1;    // --listen-device: its wave-output id, -1 the default
  // --device NAME and --listen-device NAME: parts of output devices' names, turned into
  // `device` and `listen_device` by choose_output_devices once the devices are known.
  std::string device_name;
  std::string listen_device_name;
  int32_t device = -2;           // chosen by --device; -2: none (the positional id stands)
  int32_t squelch = squelch_off; // --squelch, tenths of a dB
  int32_t fm_deemphasis_us = fm_deemphasis_default_us;  // --deemphasis 750 or 0
  int32_t wfm_deemphasis_us = wfm_deemphasis_default_us;  // --deemphasis 50, 75 or 0
  bool record_at_start = false;  // --record DIR: record from start-up
  RecordSettings record;         // --record's folder (key R's too), --record-raw
  DongleOptions dongle;          // --bias-tee, --direct-sampling, --offset-tuning, --serial
};

// Reads the options: --rigctl [ADDRESS:]PORT, --rigctl=[ADDRESS:]PORT, or --rigctl
// alone (127.0.0.1:4532). After a bare --rigctl the next argument is its value only when
// it reads as one (a port up to 65535, or an address with a port); otherwise it stays a
// positional number. --listen MODE[@OFFSET], --listen-device ID|NAME, --device NAME,
// --squelch DB|off and --deemphasis US always take a value, the next argument or after '='; a listening offset
// must fit the variant's band. False, with a one-line reason in error, for a value that
// does not read or is missing. Anything else is left to parse_command_line, as before
// there were options.
bool parse_options(const Variant& variant, int argc, char** argv, ReceiverOptions& options,
                   std::string& error);

// -h, --help or --version anywhere on the line: prints the usage or the version to `out`
// and returns true, before anything is started (no dongle, no audio). Any other
// argument is left to parse_command_line.
bool answer_help_or_version(const Variant& variant, int argc, char** argv, FILE* out);
