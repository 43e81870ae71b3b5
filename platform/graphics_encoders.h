// Encoders that turn a picture (0x00BBGGRR pixels, width per row) into the bytes a
// terminal shows it from, each placed at the terminal's top-left corner with the
// cursor saved and restored around it.
#pragma once

#include <cstdint>
#include <string>

// Kitty graphics protocol: 24-bit RGB, zlib-compressed, base64, in chunks; replies
// suppressed. The picture is shown as image_id and only then is replaced_id (0: none)
// deleted, so that the terminal never shows the place empty between two frames.
void kitty_encode(std::string& out, const uint32_t* pixels, int width, int height,
                  uint32_t image_id, uint32_t replaced_id);
std::string kitty_delete_text(uint32_t image_id);

// Sixel: one colour register per distinct colour (percent levels), run-length coded.
void sixel_encode(std::string& out, const uint32_t* pixels, int width, int height);

// The sixel level (0-100) of an 8-bit channel value, and back.
int sixel_percent(int channel);
int sixel_channel(int percent);

// Unicode upper-half blocks in 24-bit colour: the picture shrunk to at most columns x
// (2 x rows) cells-halves by keeping the brightest pixel of each block, so one-pixel
// lines survive the shrinking.
void blocks_encode(std::string& out, const uint32_t* pixels, int width, int height, int columns,
                   int rows);

// The shrinking used by blocks_encode: out_width x out_height pixels, each the
// brightest pixel of its block of the source.
void shrink_brightest(const uint32_t* pixels, int width, int height, uint32_t* out, int out_width,
                      int out_height);
