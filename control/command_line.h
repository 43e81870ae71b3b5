// The command line: up to four positional integers, read with atoi's rules, and the
// options, which may stand before, between or after them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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
};

// Reads the options: --rigctl [ADDRESS:]PORT, --rigctl=[ADDRESS:]PORT, or --rigctl
// alone (127.0.0.1:4532). After a bare --rigctl the next argument is its value only when
// it reads as one (a port up to 65535, or an address with a port); otherwise it stays a
// positional number. False, with a one-line reason in error, for a value that does not
// read. Anything else is left to parse_command_line, as before there were options.
bool parse_options(int argc, char** argv, ReceiverOptions& options, std::string& error);

// -h, --help or --version anywhere on the line: prints the usage or the version to `out`
// and returns true, before anything is started (no dongle, no audio). Any other
// argument is left to parse_command_line.
bool answer_help_or_version(const Variant& variant, int argc, char** argv, FILE* out);
