// The waterfall's colours by magnitude.
#pragma once

#include <cstdint>

inline constexpr int palette_size = 1024;

// Fills palette (palette_size entries, 0x00BBGGRR) from dark blue through pale yellow
// to red.
void build_waterfall_palette(uint32_t* palette);
