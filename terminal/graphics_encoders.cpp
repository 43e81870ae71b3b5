#include "terminal/graphics_encoders.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include <zlib.h>

namespace {

int red(uint32_t c) { return static_cast<int>(c & 0xFF); }
int green(uint32_t c) { return static_cast<int>((c >> 8) & 0xFF); }
int blue(uint32_t c) { return static_cast<int>((c >> 16) & 0xFF); }

constexpr char base64_digits[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Save the cursor, go to the top-left corner.
constexpr const char* picture_begin = "\x1b" "7" "\x1b[1;1H";
// Back to where the cursor was.
constexpr const char* picture_end = "\x1b" "8";

void append_number(std::string& out, long long n) { out += std::to_string(n); }

void append_base64(std::string& out, const uint8_t* bytes, size_t count) {
  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const uint32_t bits = (static_cast<uint32_t>(bytes[i]) << 16) |
                          (static_cast<uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2];
    out += base64_digits[(bits >> 18) & 63];
    out += base64_digits[(bits >> 12) & 63];
    out += base64_digits[(bits >> 6) & 63];
    out += base64_digits[bits & 63];
  }
  if (i < count) {
    const bool two = i + 1 < count;
    const uint32_t bits = (static_cast<uint32_t>(bytes[i]) << 16) |
                          (two ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0u);
    out += base64_digits[(bits >> 18) & 63];
    out += base64_digits[(bits >> 12) & 63];
    out += two ? base64_digits[(bits >> 6) & 63] : '=';
    out += '=';
  }
}

constexpr size_t kitty_bytes_per_chunk = 3072;  // 4,096 base64 characters per escape
// The fastest zlib level: the waterfall is noise that higher levels barely shrink more,
// and the writer has to keep up with the frame rate.
constexpr int kitty_zlib_level = 1;

// Brightest first by the strongest channel, then by the sum; a lone red trace pixel
// beats the black around it and the dimmer waterfall colours.
int brightness(uint32_t c) {
  return std::max({red(c), green(c), blue(c)}) * 1024 + red(c) + green(c) + blue(c);
}

void append_sgr_colour(std::string& out, int layer, uint32_t c) {
  out += "\x1b[";
  append_number(out, layer);
  out += ";2;";
  append_number(out, red(c));
  out += ';';
  append_number(out, green(c));
  out += ';';
  append_number(out, blue(c));
  out += 'm';
}

void append_sixel_run(std::string& out, char sixel, int count) {
  if (count >= 4) {
    out += '!';
    append_number(out, count);
    out += sixel;
  } else {
    out.append(static_cast<size_t>(count), sixel);
  }
}

constexpr int sixel_registers = 256;

}  // namespace

void kitty_encode(std::string& out, const uint32_t* pixels, int width, int height,
                  uint32_t image_id, uint32_t replaced_id, bool edit) {
  if (width <= 0 || height <= 0) return;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  thread_local std::vector<uint8_t> rgb;
  thread_local std::vector<uint8_t> packed;
  rgb.resize(count * 3);
  for (size_t i = 0; i < count; ++i) {
    rgb[3 * i] = static_cast<uint8_t>(red(pixels[i]));
    rgb[3 * i + 1] = static_cast<uint8_t>(green(pixels[i]));
    rgb[3 * i + 2] = static_cast<uint8_t>(blue(pixels[i]));
  }
  uLongf packed_size = compressBound(static_cast<uLong>(rgb.size()));
  packed.resize(packed_size);
  if (compress2(packed.data(), &packed_size, rgb.data(), static_cast<uLong>(rgb.size()),
                kitty_zlib_level) != Z_OK) {
    return;  // only when out of memory: this frame is not shown
  }
  out += picture_begin;
  size_t done = 0;
  bool first = true;
  do {
    const size_t chunk = std::min<size_t>(kitty_bytes_per_chunk, packed_size - done);
    const bool more = done + chunk < packed_size;
    out += "\x1b_G";
    if (first) {
      // An edit replaces the pixels of the shown image's only frame, in place.
      out += edit ? "a=f,r=1,x=0,y=0,f=24,o=z,s=" : "a=T,f=24,o=z,s=";
      append_number(out, width);
      out += ",v=";
      append_number(out, height);
      out += ",i=";
      append_number(out, image_id);
      out += edit ? "," : ",p=1,C=1,";
      first = false;
    }
    out += more ? "q=2,m=1;" : "q=2,m=0;";
    append_base64(out, packed.data() + done, chunk);
    out += "\x1b\\";
    done += chunk;
  } while (done < packed_size);
  if (replaced_id != 0 && !edit) out += kitty_delete_text(replaced_id);
  out += picture_end;
}

std::string kitty_delete_text(uint32_t image_id) {
  return "\x1b_Ga=d,d=I,q=2,i=" + std::to_string(image_id) + "\x1b\\";
}

int sixel_percent(int channel) { return (channel * 100 + 127) / 255; }
int sixel_channel(int percent) { return (percent * 255 + 50) / 100; }

void sixel_encode(std::string& out, const uint32_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  // Colour registers by percent levels. Should the picture hold more distinct levels
  // than there are registers, levels are coarsened to steps of 20 (216 colours).
  thread_local std::unordered_map<uint32_t, int> registers;
  thread_local std::vector<uint32_t> register_colour;  // percent triple per register
  thread_local std::vector<uint8_t> pixel_register;
  auto key_of = [](uint32_t c, int step) {
    auto level = [step](int ch) {
      const int p = sixel_percent(ch);
      return static_cast<uint32_t>(step == 1 ? p : (p + step / 2) / step * step);
    };
    return (level(red(c)) << 16) | (level(green(c)) << 8) | level(blue(c));
  };
  int step = 1;
  for (;;) {
    registers.clear();
    register_colour.clear();
    pixel_register.resize(count);
    bool fits = true;
    for (size_t i = 0; i < count && fits; ++i) {
      const uint32_t key = key_of(pixels[i], step);
      auto [it, added] = registers.try_emplace(key, static_cast<int>(register_colour.size()));
      if (added) {
        if (register_colour.size() == sixel_registers) {
          fits = false;
          break;
        }
        register_colour.push_back(key);
      }
      pixel_register[i] = static_cast<uint8_t>(it->second);
    }
    if (fits) break;
    step = 20;
  }

  out += picture_begin;
  out += "\x1bP0;1;0q\"1;1;";  // pixels left unpainted keep what is under them
  append_number(out, width);
  out += ';';
  append_number(out, height);
  for (size_t r = 0; r < register_colour.size(); ++r) {
    const uint32_t key = register_colour[r];
    out += '#';
    append_number(out, static_cast<long long>(r));
    out += ";2;";
    append_number(out, (key >> 16) & 0xFF);
    out += ';';
    append_number(out, (key >> 8) & 0xFF);
    out += ';';
    append_number(out, key & 0xFF);
  }

  // Per band of six rows: a column mask per register, then one pass per register used.
  thread_local std::vector<uint8_t> masks;
  masks.assign(register_colour.size() * static_cast<size_t>(width), 0);
  std::vector<bool> used(register_colour.size());
  for (int band = 0; band * 6 < height; ++band) {
    std::fill(masks.begin(), masks.end(), 0);
    std::fill(used.begin(), used.end(), false);
    for (int bit = 0; bit < 6 && band * 6 + bit < height; ++bit) {
      const size_t row = static_cast<size_t>(band * 6 + bit) * static_cast<size_t>(width);
      for (int x = 0; x < width; ++x) {
        const int reg = pixel_register[row + static_cast<size_t>(x)];
        masks[static_cast<size_t>(reg) * static_cast<size_t>(width) + static_cast<size_t>(x)] |=
            static_cast<uint8_t>(1u << bit);
        used[static_cast<size_t>(reg)] = true;
      }
    }
    if (band > 0) out += '-';
    bool first_colour = true;
    for (size_t reg = 0; reg < register_colour.size(); ++reg) {
      if (!used[reg]) continue;
      if (!first_colour) out += '$';
      first_colour = false;
      out += '#';
      append_number(out, static_cast<long long>(reg));
      const uint8_t* mask = masks.data() + reg * static_cast<size_t>(width);
      int end = width;
      while (end > 0 && mask[end - 1] == 0) --end;  // trailing empty sixels say nothing
      int x = 0;
      while (x < end) {
        int run = 1;
        while (x + run < end && mask[x + run] == mask[x]) ++run;
        append_sixel_run(out, static_cast<char>(63 + mask[x]), run);
        x += run;
      }
    }
  }
  out += "\x1b\\";
  out += picture_end;
}

void shrink_brightest(const uint32_t* pixels, int width, int height, uint32_t* out, int out_width,
                      int out_height) {
  for (int ty = 0; ty < out_height; ++ty) {
    const long long y0 = static_cast<long long>(ty) * height / out_height;
    const long long y1 = std::max(y0 + 1, static_cast<long long>(ty + 1) * height / out_height);
    for (int tx = 0; tx < out_width; ++tx) {
      const long long x0 = static_cast<long long>(tx) * width / out_width;
      const long long x1 = std::max(x0 + 1, static_cast<long long>(tx + 1) * width / out_width);
      uint32_t best = pixels[y0 * width + x0];
      int best_key = brightness(best);
      for (long long y = y0; y < y1; ++y) {
        for (long long x = x0; x < x1; ++x) {
          const uint32_t c = pixels[y * width + x];
          const int key = brightness(c);
          if (key > best_key) {
            best = c;
            best_key = key;
          }
        }
      }
      out[static_cast<size_t>(ty) * static_cast<size_t>(out_width) + static_cast<size_t>(tx)] =
          best;
    }
  }
}

void blocks_encode(std::string& out, const uint32_t* pixels, int width, int height, int columns,
                   int rows) {
  const int out_width = std::min(columns, width);
  const int out_height = std::min(2 * rows, height);
  if (out_width <= 0 || out_height <= 0) return;
  thread_local std::vector<uint32_t> small;
  small.resize(static_cast<size_t>(out_width) * static_cast<size_t>(out_height));
  shrink_brightest(pixels, width, height, small.data(), out_width, out_height);
  out += picture_begin;
  const int cell_rows = (out_height + 1) / 2;
  for (int row = 0; row < cell_rows; ++row) {
    out += "\x1b[";
    append_number(out, row + 1);
    out += ";1H";
    bool have_colours = false;
    uint32_t fg = 0, bg = 0;
    for (int x = 0; x < out_width; ++x) {
      const uint32_t top = small[static_cast<size_t>(2 * row) * out_width + x];
      // An odd last pixel row leaves the lower halves of the last cell row black.
      const uint32_t bottom =
          2 * row + 1 < out_height ? small[static_cast<size_t>(2 * row + 1) * out_width + x] : 0u;
      if (!have_colours || top != fg) append_sgr_colour(out, 38, top);
      if (!have_colours || bottom != bg) append_sgr_colour(out, 48, bottom);
      have_colours = true;
      fg = top;
      bg = bottom;
      out += "\xe2\x96\x80";  // U+2580 upper half block
    }
    out += "\x1b[0m\x1b[K";  // the rest of the row in the terminal's own colours
  }
  out += picture_end;
}

namespace {

using BlocksCell = BlocksScreen::Cell;

// Never what a picture shows: cells marked so are sent whatever they hold.
constexpr BlocksCell unknown_cell{0xFFFFFFFFu, 0xFFFFFFFFu, 0};

// Frames skipped by the writer move the waterfall by several lines; beyond this many
// the picture is simply sent again.
constexpr int blocks_max_moved_lines = 16;

void append_cup(std::string& out, int row, int column) {
  out += "\x1b[";
  append_number(out, row + 1);
  out += ';';
  append_number(out, column + 1);
  out += 'H';
}

// Every n-th label from the centre, so that one blank cell at least stays between two.
int cell_label_stride(const BlocksLabel* labels, int label_count, int width, int columns) {
  int spacing = 0, widest = 0, centre = -1, next = -1;
  for (int i = 0; i < label_count; ++i) {
    widest = std::max(widest, static_cast<int>(std::char_traits<char>::length(labels[i].text)));
    if (labels[i].step == 0) centre = labels[i].x;
    if (labels[i].step == 1) next = labels[i].x;
  }
  if (centre >= 0 && next >= 0) {
    spacing = static_cast<int>(static_cast<long long>(next - centre) * columns / width);
  }
  if (spacing <= 0) return 1;
  return std::max(1, (widest + 1 + spacing - 1) / spacing);
}

}  // namespace

namespace {

// The trace band: pixel rows above the label glyphs, shrunk by the brightest pixel into
// band_rows cell rows of two half blocks each.
void cells_of_trace(std::vector<BlocksCell>& want, const uint32_t* pixels, int width, int height,
                    int cols, int band_rows, const BlocksLayout& layout) {
  const size_t cols_z = static_cast<size_t>(cols);
  const int band_height = std::clamp(layout.label_top, 1, height);
  thread_local std::vector<uint32_t> small;
  small.resize(2 * static_cast<size_t>(band_rows) * cols_z);
  shrink_brightest(pixels, width, band_height, small.data(), cols, 2 * band_rows);
  for (int r = 0; r < band_rows; ++r) {
    for (size_t c = 0; c < cols_z; ++c) {
      want[static_cast<size_t>(r) * cols_z + c] = {small[2 * r * cols_z + c],
                                                   small[(2 * r + 1) * cols_z + c], 0};
    }
  }
}

// The labels as text in label_row, one character per cell, centred on their tick's column.
void cells_of_labels(std::vector<BlocksCell>& want, int label_row, int width, int cols,
                     const BlocksLabel* labels, int label_count, const BlocksLayout& layout) {
  const size_t cols_z = static_cast<size_t>(cols);
  const int stride = cell_label_stride(labels, label_count, width, cols);
  for (int i = 0; i < label_count; ++i) {
    const BlocksLabel& label = labels[i];
    if (label.step % stride != 0) continue;
    const int length = static_cast<int>(std::char_traits<char>::length(label.text));
    const int centre = static_cast<int>(static_cast<long long>(label.x) * cols / width);
    for (int k = 0; k < length; ++k) {
      const int c = centre - length / 2 + k;
      if (c < 0 || c >= cols) continue;
      want[static_cast<size_t>(label_row) * cols_z + static_cast<size_t>(c)] = {
          layout.label_colour, 0, label.text[k]};
    }
  }
}

// The waterfall in the wf_rows cell rows from wf_first: which lines are new since the
// last frame tells how far it moved. Returns the cell rows the terminal is to scroll it.
int cells_of_waterfall(std::vector<BlocksCell>& want, BlocksScreen& screen,
                       const uint32_t* pixels, int width, int height, int cols, int wf_first,
                       int wf_rows, const BlocksLayout& layout) {
  if (wf_rows <= 0 || layout.waterfall_top <= 0 || layout.waterfall_top >= height) return 0;
  const size_t cols_z = static_cast<size_t>(cols);
  const int count = height - layout.waterfall_top;
  thread_local std::vector<uint32_t> lines;
  lines.resize(static_cast<size_t>(count) * cols_z);
  for (int j = 0; j < count; ++j) {
    shrink_brightest(pixels + static_cast<size_t>(layout.waterfall_top + j) * width, width, 1,
                     lines.data() + static_cast<size_t>(j) * cols_z, cols, 1);
  }
  int moved = -1;
  if (screen.columns == cols && screen.line_count == count) {
    for (int s = 0; s <= blocks_max_moved_lines && s < count && moved < 0; ++s) {
      if (std::equal(lines.begin() + static_cast<long>(s * cols_z), lines.end(),
                     screen.lines.begin())) {
        moved = s;
      }
    }
  }
  int scroll = 0;
  const uint64_t before = screen.lines_seen;
  if (moved < 0) {
    screen.lines_seen = static_cast<uint64_t>(count);
    screen.cells.clear();
  } else {
    screen.lines_seen += static_cast<uint64_t>(moved);
    scroll = static_cast<int>(screen.lines_seen / 2 - before / 2);
  }
  // Lines pair up by their count since the start, so a cell row keeps its two lines
  // while it moves down; the newest line waits for its partner.
  const uint64_t n = screen.lines_seen;
  for (int r = 0; r < wf_rows; ++r) {
    const long long pair = static_cast<long long>(n / 2) - 1 - r;
    if (pair < 0) break;
    const long long upper = static_cast<long long>(n) - 2 - 2 * pair;  // newer line
    const long long lower = upper + 1;
    for (size_t c = 0; c < cols_z; ++c) {
      BlocksCell& cell = want[static_cast<size_t>(wf_first + r) * cols_z + c];
      cell.fg = upper < count ? lines[static_cast<size_t>(upper) * cols_z + c] : 0u;
      cell.bg = lower < count ? lines[static_cast<size_t>(lower) * cols_z + c] : 0u;
    }
  }
  screen.lines.assign(lines.begin(), lines.end());
  screen.line_count = count;
  return scroll;
}

// Brings the terminal's idea of the cells in line with what it now shows: all unknown
// after a change of size, or the waterfall rows moved down by scroll (scrolled on the
// terminal too, inside a region of their own).
void cells_scroll(std::string& out, BlocksScreen& screen, bool full, int scroll, int cols,
                  int rows, int wf_first, int wf_rows, const BlocksLayout& layout) {
  const size_t cols_z = static_cast<size_t>(cols);
  if (full) {
    screen.cells.assign(static_cast<size_t>(rows) * cols_z, unknown_cell);
  } else if (scroll > 0 && scroll < wf_rows) {
    // Move the waterfall's rows down inside a region of their own, then give the
    // messages their region back.
    out += "\x1b[0m\x1b[";
    append_number(out, wf_first + 1);
    out += ';';
    append_number(out, rows);
    out += "r\x1b[";
    append_number(out, scroll);
    out += "T\x1b[";
    append_number(out, rows + 1);
    out += ';';
    append_number(out, layout.terminal_rows);
    out += 'r';
    auto first = screen.cells.begin() + static_cast<long>(static_cast<size_t>(wf_first) * cols_z);
    std::move_backward(first, screen.cells.end() - static_cast<long>(scroll * cols_z),
                       screen.cells.end());
    std::fill(first, first + static_cast<long>(scroll * cols_z), unknown_cell);
  } else if (scroll >= wf_rows) {
    std::fill(screen.cells.begin() + static_cast<long>(static_cast<size_t>(wf_first) * cols_z),
              screen.cells.end(), unknown_cell);
  }
}

// Writes the cells that differ from what the terminal shows, and notes them as shown.
void cells_write(std::string& out, BlocksScreen& screen, const std::vector<BlocksCell>& want,
                 bool full, int cols, int rows, const BlocksLayout& layout) {
  const size_t cols_z = static_cast<size_t>(cols);
  bool have_colours = false;
  uint32_t fg = 0, bg = 0;
  int at_row = -1, at_column = -1;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const size_t i = static_cast<size_t>(r) * cols_z + static_cast<size_t>(c);
      if (want[i] == screen.cells[i]) continue;
      if (at_row != r || at_column != c) append_cup(out, r, c);
      if (!have_colours || want[i].fg != fg) append_sgr_colour(out, 38, want[i].fg);
      if (!have_colours || want[i].bg != bg) append_sgr_colour(out, 48, want[i].bg);
      have_colours = true;
      fg = want[i].fg;
      bg = want[i].bg;
      if (want[i].ch) {
        out += want[i].ch;
      } else {
        out += "\xe2\x96\x80";  // U+2580 upper half block
      }
      screen.cells[i] = want[i];
      at_row = r;
      at_column = c + 1;
    }
    if (full && cols < layout.columns) {
      out += "\x1b[0m\x1b[K";  // the rest of the row in the terminal's own colours
      have_colours = false;
    }
  }
  if (have_colours) out += "\x1b[0m";
}

}  // namespace

void blocks_encode_cells(std::string& out, BlocksScreen& screen, const uint32_t* pixels,
                         int width, int height, const BlocksLabel* labels, int label_count,
                         const BlocksLayout& layout) {
  const int cols = std::min(layout.columns, width);
  const int rows = layout.rows;
  if (cols <= 0 || rows <= 0 || height <= 0) return;
  thread_local std::vector<BlocksCell> want;
  want.assign(static_cast<size_t>(rows) * static_cast<size_t>(cols), BlocksCell{});

  const int band_rows = std::min(blocks_trace_rows, rows);
  cells_of_trace(want, pixels, width, height, cols, band_rows, layout);
  const int label_row = band_rows;
  if (label_row < rows) cells_of_labels(want, label_row, width, cols, labels, label_count, layout);
  const int wf_first = label_row + 1;
  const int wf_rows = rows - wf_first;
  const int scroll =
      cells_of_waterfall(want, screen, pixels, width, height, cols, wf_first, wf_rows, layout);

  const bool full = screen.columns != cols || screen.rows != rows ||
                    screen.cells.size() != want.size();
  out += picture_begin;
  cells_scroll(out, screen, full, scroll, cols, rows, wf_first, wf_rows, layout);
  cells_write(out, screen, want, full, cols, rows, layout);
  out += picture_end;
  screen.columns = cols;
  screen.rows = rows;
}
