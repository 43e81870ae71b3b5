// Encoders that turn a picture (0x00BBGGRR pixels, width per row) into the bytes a
// terminal shows it from, each placed at the terminal's top-left corner with the
// cursor saved and restored around it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Kitty graphics protocol: 24-bit RGB, zlib-compressed, base64, in chunks; replies
// suppressed. With edit, the pixels of image_id, shown already at this size, are
// replaced in place. Otherwise the picture is shown as image_id and only then is
// replaced_id (0: none) deleted. Either way the place is never empty between frames.
void kitty_encode(std::string& out, const uint32_t* pixels, int width, int height,
                  uint32_t image_id, uint32_t replaced_id, bool edit);
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

// A frequency label that the blocks presenter writes as terminal text: its centre
// column in the picture's pixels and its place counted from the centre label (0), so
// that thinning keeps the centre.
struct BlocksLabel {
  int x = 0;
  int step = 0;
  char text[16] = {};
};

// Where the blocks picture's parts lie in the pixel picture and on the terminal.
struct BlocksLayout {
  int columns = 80;        // cells across
  int rows = 8;            // terminal rows of the picture: trace band, label row, waterfall
  int terminal_rows = 24;  // messages scroll in rows rows + 1 to terminal_rows
  int label_top = 0;       // first pixel row of the label glyphs: the trace band ends here
  int waterfall_top = 0;   // pixel row of the newest waterfall line; older ones below
  uint32_t label_colour = 0;
};

// Cell rows of the trace band; then one row of label text; the rest is waterfall.
inline constexpr int blocks_trace_rows = 6;

// What the terminal shows in the picture's cells, kept between frames so that only
// cells that changed are sent and the waterfall moves by the terminal's own scrolling.
struct BlocksScreen {
  struct Cell {
    uint32_t fg = 0;
    uint32_t bg = 0;
    char ch = 0;  // 0: an upper half block; otherwise label text
    bool operator==(const Cell&) const = default;
  };
  int columns = 0;
  int rows = 0;
  std::vector<Cell> cells;        // rows x columns; empty: the terminal's cells are unknown
  std::vector<uint32_t> lines;    // the last frame's waterfall lines, shrunk across
  int line_count = 0;
  uint64_t lines_seen = 0;        // waterfall lines so far; pairs of lines share a cell row
};

// The picture as cells by layout: the trace band shrunk into blocks_trace_rows rows by
// the brightest pixel, labels as text in the row below (every n-th where they would
// touch), then the waterfall, two lines per cell row, newest at the top. Writes only
// what differs from screen, and scrolls the waterfall's rows when it moved down.
void blocks_encode_cells(std::string& out, BlocksScreen& screen, const uint32_t* pixels,
                         int width, int height, const BlocksLabel* labels, int label_count,
                         const BlocksLayout& layout);

// The shrinking used by blocks_encode: out_width x out_height pixels, each the
// brightest pixel of its block of the source.
void shrink_brightest(const uint32_t* pixels, int width, int height, uint32_t* out, int out_width,
                      int out_height);
