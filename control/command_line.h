// The command line: up to four positional integers, read with atoi's rules.
#pragma once

#include <cstdint>
#include <cstdio>

struct RxState;
struct Variant;

// atoi as the C library does it on this platform: leading blanks, an optional sign,
// decimal digits; anything else gives 0. Values beyond 32 bits wrap as atoi's do.
int32_t parse_integer(const char* text);

// Frequency, wave-output id, ppm correction, dongle index; missing arguments leave
// their fields alone, extra ones are ignored.
void parse_command_line(RxState& state, int argc, char** argv);

// -h, --help or --version anywhere on the line: prints the usage or the version to `out`
// and returns true, before anything is started (no dongle, no audio). Any other
// argument is left to parse_command_line.
bool answer_help_or_version(const Variant& variant, int argc, char** argv, FILE* out);
