// Frequencies as people type them: plain Hz or with a suffix, "145800000", "145800k",
// "145.8M", "1.2G" (suffixes in either case), rounded to the nearest Hz.
#pragma once

#include <cstdint>
#include <string_view>

// The largest frequency the receiver's 32-bit field holds.
inline constexpr uint64_t max_frequency_hz = 4294967295u;

// Parses text: digits with at most one decimal point, then at most one suffix k, M or G.
// False for anything else (signs, spaces, exponents, an empty text) and for a value
// above max_frequency_hz.
bool parse_frequency_text(std::string_view text, uint32_t& hz);
