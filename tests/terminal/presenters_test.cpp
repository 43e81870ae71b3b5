// Each presenter's output decoded back into pixels and compared with what was drawn.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "core/rx_state.h"
#include "display/display_state.h"
#include "display/scale.h"
#include "display/trace_and_waterfall.h"
#include "platform/console_out.h"
#include "terminal/graphics_encoders.h"
#include "terminal/terminal_presenter.h"
#include "tests/support/text_search.h"

namespace {

struct Image {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

// A realistic picture: the top 200 rows of a frame with scale, trace and waterfall.
Image display_picture(int columns = 1024) {
  static const Image full = [] {
    RxState state{rxiq12_variant};
    SpectrumBuffer spectrum;
    auto d = std::make_unique<DisplayState>();
    d->spectrum = &spectrum;
    display_make_surfaces(*d);
    build_waterfall_palette(d->waterfall_palette);
    draw_scale(*d, 145725000);
    std::mt19937 random(7);
    std::vector<float> re(spectrum_size), im(spectrum_size);
    for (int n = 0; n < 90; ++n) {
      for (int i = 0; i < spectrum_size; ++i) {
        re[i] = static_cast<float>(random() % 130);
        im[i] = static_cast<float>(random() % 20);
      }
      spectrum_publish(spectrum, re.data(), im.data());
      display_frame(*d, state);
    }
    Image image{1024, 200, {}};
    image.pixels.assign(d->frame_surface.pixels.begin(), d->frame_surface.pixels.begin() + 1024 * 200);
    return image;
  }();
  Image crop{columns, 200, {}};
  const int first = 512 - columns / 2;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < columns; ++x) crop.pixels.push_back(full.pixels[y * 1024 + first + x]);
  return crop;
}

bool starts_with(const std::string& s, size_t at, const char* text) {
  return s.compare(at, std::char_traits<char>::length(text), text) == 0;
}

// The picture sits between a cursor save plus home and a cursor restore.
std::string unwrap(const std::string& out) {
  const std::string begin = "\x1b" "7" "\x1b[1;1H";
  EXPECT_TRUE(starts_with(out, 0, begin.c_str()));
  EXPECT_EQ(out.substr(out.size() - 2), "\x1b" "8");
  return out.substr(begin.size(), out.size() - begin.size() - 2);
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

struct KittyPicture {
  Image image;
  uint32_t id = 0;
  bool edit = false;          // the pixels of a shown image replaced in place
  size_t payload_size = 0;    // base64 characters sent
  std::string after;          // what follows the picture's escapes (deletions)
};

// Kitty: the first escape names the image, format and size; the payload is zlib data in
// base64, split over escapes of at most 4,096 characters.
KittyPicture decode_kitty(const std::string& out) {
  const std::string body = unwrap(out);
  KittyPicture picture;
  Image& image = picture.image;
  std::string payload;
  size_t at = 0;
  bool more = true;
  while (more) {
    EXPECT_TRUE(starts_with(body, at, "\x1b_G"));
    const size_t end = body.find("\x1b\\", at);
    const std::string command = body.substr(at + 3, end - at - 3);
    const size_t semicolon = command.find(';');
    const std::string control = command.substr(0, semicolon);
    if (at == 0) {
      picture.edit = control.find("a=f,r=1,x=0,y=0,") == 0;
      EXPECT_TRUE(picture.edit || control.find("a=T") == 0) << control;
      EXPECT_NE(control.find("f=24"), std::string::npos);
      EXPECT_NE(control.find("o=z"), std::string::npos);
      image.width = std::stoi(control.substr(control.find("s=") + 2));
      image.height = std::stoi(control.substr(control.find("v=") + 2));
      picture.id = static_cast<uint32_t>(std::stoul(control.substr(control.find("i=") + 2)));
    }
    EXPECT_NE(control.find("q=2"), std::string::npos);
    more = control.find("m=1") != std::string::npos;
    EXPECT_LE(command.size() - semicolon - 1, 4096u);
    payload += command.substr(semicolon + 1);
    at = end + 2;
  }
  picture.after = body.substr(at);
  picture.payload_size = payload.size();
  std::vector<uint8_t> packed;
  for (size_t i = 0; i + 4 <= payload.size(); i += 4) {
    const uint32_t v = (base64_value(payload[i]) << 18) | (base64_value(payload[i + 1]) << 12) |
                       (base64_value(payload[i + 2]) << 6) | base64_value(payload[i + 3]);
    packed.push_back(static_cast<uint8_t>(v >> 16));
    if (payload[i + 2] != '=') packed.push_back(static_cast<uint8_t>(v >> 8));
    if (payload[i + 3] != '=') packed.push_back(static_cast<uint8_t>(v));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(image.width) * image.height * 3);
  uLongf size = bytes.size();
  EXPECT_EQ(uncompress(bytes.data(), &size, packed.data(), packed.size()), Z_OK);
  EXPECT_EQ(size, bytes.size());
  for (size_t i = 0; i + 2 < bytes.size(); i += 3) image.pixels.push_back(rgb(bytes[i], bytes[i + 1], bytes[i + 2]));
  return picture;
}

int read_number(const std::string& s, size_t& at) {
  int n = 0;
  while (at < s.size() && isdigit(static_cast<unsigned char>(s[at]))) n = n * 10 + (s[at++] - '0');
  return n;
}

// Sixel: raster attributes, colour registers in percent, bands of six rows.
Image decode_sixel(const std::string& out) {
  const std::string body = unwrap(out);
  EXPECT_TRUE(starts_with(body, 0, "\x1bP0;1;0q\"1;1;"));
  size_t at = std::string("\x1bP0;1;0q\"1;1;").size();
  Image image;
  image.width = read_number(body, at);
  ++at;
  image.height = read_number(body, at);
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0xFFFFFFFFu);
  std::vector<uint32_t> registers(256, 0);
  int current = 0, x = 0, band = 0;
  while (at < body.size()) {
    const char c = body[at];
    if (c == '#') {
      ++at;
      current = read_number(body, at);
      if (at < body.size() && body[at] == ';') {
        EXPECT_TRUE(starts_with(body, at, ";2;"));  // RGB in percent
        at += 3;
        const int r = read_number(body, at);
        ++at;
        const int g = read_number(body, at);
        ++at;
        const int b = read_number(body, at);
        registers[current] = rgb(sixel_channel(r), sixel_channel(g), sixel_channel(b));
      }
    } else if (c == '$') {
      x = 0;
      ++at;
    } else if (c == '-') {
      x = 0;
      ++band;
      ++at;
    } else if (c == '!' || (c >= '?' && c <= '~')) {
      int count = 1;
      if (c == '!') {
        ++at;
        count = read_number(body, at);
      }
      const int bits = body[at++] - '?';
      for (int k = 0; k < count; ++k, ++x) {
        for (int bit = 0; bit < 6; ++bit) {
          const int y = band * 6 + bit;
          if ((bits >> bit) & 1) {
            EXPECT_LT(y, image.height);
            EXPECT_LT(x, image.width);
            if (y < image.height && x < image.width) image.pixels[y * image.width + x] = registers[current];
          }
        }
      }
    } else if (c == '\x1b') {
      EXPECT_EQ(body.substr(at), "\x1b\\");
      break;
    } else {
      ADD_FAILURE() << "unexpected byte " << int(c);
      ++at;
    }
  }
  return image;
}

// Blocks: rows placed by CUP, colours by 24-bit SGR, each cell an upper half block
// whose foreground is the upper pixel and background the lower.
Image decode_blocks(const std::string& out, int columns, int rows) {
  const std::string body = unwrap(out);
  Image image{columns, rows * 2, std::vector<uint32_t>(static_cast<size_t>(columns) * rows * 2, 0xFFFFFFFFu)};
  uint32_t fg = 0, bg = 0;
  int row = 0, x = 0;
  size_t at = 0;
  while (at < body.size()) {
    if (starts_with(body, at, "\x1b[")) {
      at += 2;
      std::vector<int> params;
      for (;;) {
        params.push_back(read_number(body, at));
        if (body[at] != ';') break;
        ++at;
      }
      const char final_byte = body[at++];
      if (final_byte == 'H') {
        row = params[0] - 1;
        x = params[1] - 1;
      } else if (final_byte == 'm' && params.size() == 5 && params[1] == 2) {
        (params[0] == 38 ? fg : bg) = rgb(params[2], params[3], params[4]);
      } else if (final_byte == 'm' || final_byte == 'K') {
        EXPECT_EQ(params, std::vector<int>{0});
      } else {
        ADD_FAILURE() << "unexpected CSI " << final_byte;
      }
    } else if (starts_with(body, at, "\xe2\x96\x80")) {
      EXPECT_LT(x, columns);
      EXPECT_LT(row, rows);
      image.pixels[(2 * row) * columns + x] = fg;
      image.pixels[(2 * row + 1) * columns + x] = bg;
      ++x;
      at += 3;
    } else {
      ADD_FAILURE() << "unexpected byte " << int(body[at]);
      ++at;
    }
  }
  return image;
}

uint32_t sixel_levels(uint32_t c) {
  return rgb(sixel_channel(sixel_percent(red_of(c))), sixel_channel(sixel_percent(green_of(c))),
             sixel_channel(sixel_percent(blue_of(c))));
}

// The cells of a terminal as the blocks presenter leaves them: cursor moves, 24-bit
// colours, half blocks and text, the scroll region and scrolling down inside it.
struct CellTerminal {
  using Cell = BlocksScreen::Cell;
  int rows, columns;
  std::vector<Cell> cells;
  int row = 0, column = 0, top = 0, bottom, saved_row = 0, saved_column = 0;
  uint32_t fg = 0, bg = 0;
  CellTerminal(int r, int c) : rows(r), columns(c), cells(static_cast<size_t>(r) * c, blank()), bottom(r - 1) {}
  static Cell blank() { return Cell{0xEEEEEEEEu, 0xEEEEEEEEu, ' '}; }
  Cell& at(int r, int c) { return cells[static_cast<size_t>(r) * columns + c]; }
  void feed(const std::string& out) {
    size_t i = 0;
    while (i < out.size()) {
      if (starts_with(out, i, "\x1b" "7")) {
        saved_row = row, saved_column = column, i += 2;
      } else if (starts_with(out, i, "\x1b" "8")) {
        row = saved_row, column = saved_column, i += 2;
      } else if (starts_with(out, i, "\x1b[")) {
        i += 2;
        std::vector<int> p;
        for (;;) {
          p.push_back(read_number(out, i));
          if (out[i] != ';') break;
          ++i;
        }
        const char f = out[i++];
        if (f == 'H') {
          row = p[0] - 1, column = p[1] - 1;
        } else if (f == 'm' && p.size() == 5) {
          (p[0] == 38 ? fg : bg) = rgb(p[2], p[3], p[4]);
        } else if (f == 'K') {
          for (int c = column; c < columns; ++c) at(row, c) = blank();
        } else if (f == 'r') {
          top = p[0] ? p[0] - 1 : 0, bottom = p.size() > 1 ? p[1] - 1 : rows - 1, row = column = 0;
        } else if (f == 'T') {
          for (int n = 0; n < p[0]; ++n) {
            for (int r = bottom; r > top; --r)
              for (int c = 0; c < columns; ++c) at(r, c) = at(r - 1, c);
            for (int c = 0; c < columns; ++c) at(top, c) = blank();
          }
        } else {
          EXPECT_TRUE(f == 'm') << "unexpected CSI " << f;
        }
      } else if (starts_with(out, i, "\xe2\x96\x80")) {
        if (column < columns) at(row, column++) = Cell{fg, bg, 0};
        i += 3;
      } else {
        if (column < columns) at(row, column++) = Cell{fg, bg, out[i]};
        ++i;
      }
    }
  }
  std::string text(int r) {
    std::string t;
    for (int c = 0; c < columns; ++c) t += at(r, c).ch ? at(r, c).ch : '#';
    return t;
  }
};

// The display drawing frame after frame: the top 200 rows and the scale's labels.
struct DrawnFrames {
  RxState state{rxiq12_variant};
  SpectrumBuffer spectrum;
  std::unique_ptr<DisplayState> d = std::make_unique<DisplayState>();
  std::mt19937 random{11};
  DrawnFrames() {
    d->spectrum = &spectrum;
    display_make_surfaces(*d);
    build_waterfall_palette(d->waterfall_palette);
    draw_scale(*d, 145725000);
  }
  PresentFrame next() {
    std::vector<float> re(spectrum_size), im(spectrum_size, 0.0f);
    for (int i = 0; i < spectrum_size; ++i) re[i] = static_cast<float>(random() % 120);
    spectrum_publish(spectrum, re.data(), im.data());
    display_frame(*d, state);
    PresentFrame f;
    f.pixels.assign(d->frame_surface.pixels.begin(), d->frame_surface.pixels.begin() + 1024 * 200);
    f.width = 1024;
    f.height = 200;
    f.labels = d->scale_labels;
    return f;
  }
};

void make_blocks_presenter(TerminalPresenter& p, int columns, int rows, int terminal_rows) {
  p.kind = PresenterKind::blocks;
  p.columns = columns;
  p.picture_rows = rows;
  p.blocks_layout = BlocksLayout{columns, rows, terminal_rows, 111, 135, label_colour};
}

}  // namespace

TEST(Presenters, KittyShowsEveryPixelAsDrawnNeverLeavingThePlaceEmpty) {
  TerminalPresenter p;
  p.kind = PresenterKind::kitty;
  uint32_t shown = 0;
  int last_columns = 0;
  for (int columns : {1024, 801, 1024, 1024, 1024}) {
    const Image picture = display_picture(columns);
    std::string out;
    presenter_encode(p, PresentFrame{picture.pixels, picture.width, picture.height, {}}, out);
    const KittyPicture kitty = decode_kitty(out);
    EXPECT_EQ(kitty.image.width, columns);
    EXPECT_EQ(kitty.image.height, 200);
    EXPECT_EQ(kitty.image.pixels, picture.pixels);
    EXPECT_TRUE(kitty.id == kitty_picture_id || kitty.id == kitty_other_picture_id);
    if (columns == last_columns) {
      // Same size: the shown image gets the new pixels in place.
      EXPECT_TRUE(kitty.edit);
      EXPECT_EQ(kitty.id, shown);
      EXPECT_EQ(kitty.after, "");
    } else {
      // A new size: placed under the other number before the old image is deleted.
      EXPECT_FALSE(kitty.edit);
      EXPECT_NE(kitty.id, shown);
      EXPECT_EQ(kitty.after, shown ? kitty_delete_text(shown) : "");
    }
    shown = kitty.id;
    last_columns = columns;
    // Compressed: a third of the base64 of the raw pixels at most.
    EXPECT_LT(kitty.payload_size, picture.pixels.size() * 4 / 3);
  }
  EXPECT_EQ(kitty_delete_text(kitty_picture_id), "\x1b_Ga=d,d=I,q=2,i=2024\x1b\\");
  const std::string erase = presenter_erase_text(p);
  EXPECT_NE(erase.find(kitty_delete_text(kitty_picture_id)), std::string::npos);
  EXPECT_NE(erase.find(kitty_delete_text(kitty_other_picture_id)), std::string::npos);
}

TEST(Presenters, SixelShowsEveryPixelAtSixelLevels) {
  const Image picture = display_picture(800);
  std::string out;
  sixel_encode(out, picture.pixels.data(), picture.width, picture.height);
  const Image shown = decode_sixel(out);
  ASSERT_EQ(shown.width, 800);
  ASSERT_EQ(shown.height, 200);
  for (size_t i = 0; i < picture.pixels.size(); ++i)
    ASSERT_EQ(shown.pixels[i], sixel_levels(picture.pixels[i])) << i % 800 << "," << i / 800;

  // More colours than registers: coarser levels, but every pixel still painted.
  Image noise{64, 13, {}};
  std::mt19937 random(3);
  for (int i = 0; i < 64 * 13; ++i) noise.pixels.push_back(random() & 0xFFFFFF);
  out.clear();
  sixel_encode(out, noise.pixels.data(), noise.width, noise.height);
  for (uint32_t c : decode_sixel(out).pixels) ASSERT_NE(c, 0xFFFFFFFFu);
}

TEST(Presenters, BlocksShowPixelsExactlyWhenNoShrinkingIsNeeded) {
  const Image picture = display_picture(120);
  const Image top{120, 40, std::vector<uint32_t>(picture.pixels.begin() + 100 * 120, picture.pixels.begin() + 140 * 120)};
  std::string out;
  blocks_encode(out, top.pixels.data(), top.width, top.height, 120, 20);
  EXPECT_EQ(decode_blocks(out, 120, 20).pixels, top.pixels);
}

TEST(Presenters, BlocksKeepOnePixelLinesWhenShrinking) {
  // A one-pixel trace and one-pixel ticks on black, shrunk from 1024 x 200 to 80 x 24.
  std::vector<uint32_t> pixels(1024 * 200, 0);
  const uint32_t red = rgb(255, 0, 0), dim = rgb(15, 4, 63);
  for (int x = 0; x < 1024; ++x) pixels[104 * 1024 + x] = red;
  for (int y = 107; y < 112; ++y) pixels[y * 1024 + 517] = red;
  for (int y = 135; y < 200; ++y)
    for (int x = 0; x < 1024; ++x) pixels[y * 1024 + x] = dim;
  pixels[150 * 1024 + 300] = rgb(255, 0, 0);
  std::string out;
  blocks_encode(out, pixels.data(), 1024, 200, 80, 12);
  const Image shown = decode_blocks(out, 80, 12);
  auto count_row = [&](int row) {
    int n = 0;
    for (int x = 0; x < 80; ++x) n += shown.pixels[row * 80 + x] == red;
    return n;
  };
  EXPECT_EQ(count_row(104 * 24 / 200), 80);  // the trace survives in every column
  EXPECT_EQ(shown.pixels[(108 * 24 / 200) * 80 + 517 * 80 / 1024], red);  // the tick too
  EXPECT_EQ(shown.pixels[(150 * 24 / 200) * 80 + 300 * 80 / 1024], red);  // one waterfall pixel
  EXPECT_EQ(shown.pixels[(190 * 24 / 200) * 80 + 5], dim);
  EXPECT_EQ(shown.pixels[2 * 80 + 5], 0u);
}

TEST(Presenters, ASlowTerminalMakesTheWriterSkipNotTheDrawerWait) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved_fd = console_out.fd;
  console_out.fd = fds[1];

  TerminalPresenter p;
  p.kind = PresenterKind::kitty;
  presenter_start(p);
  // Noise, which no compression shrinks below the size of the pipe.
  Image picture{256, 200, {}};
  std::mt19937 random(5);
  for (int i = 0; i < 256 * 200; ++i) picture.pixels.push_back(random() & 0xFFFFFF);
  // Nobody reads the pipe yet: once the writer has taken the first frame it blocks on
  // it (the frame is larger than the pipe), while every later submit returns at once.
  presenter_submit(p, picture.pixels.data(), 256, 256, 200);
  for (uint32_t m; (m = p.mailbox.load()) & mailbox_fresh;) p.mailbox.wait(m);
  for (int n = 1; n < 50; ++n) presenter_submit(p, picture.pixels.data(), 256, 256, 200);
  EXPECT_EQ(p.skipped.load(), 48u);  // all but the newest of those waiting

  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
  });
  presenter_stop(p);
  console_out.fd = saved_fd;
  close(fds[1]);
  reader.join();
  close(fds[0]);

  // The frame being written, then at most the newest (a stop may drop it).
  const uint32_t written = p.written.load();
  EXPECT_GE(written, 1u);
  EXPECT_LE(written, 2u);
  EXPECT_EQ(count_of(received, "a=T"), written);
  const Image shown = decode_kitty(received.substr(0, received.find("\x1b" "8") + 2)).image;
  EXPECT_EQ(shown.pixels, picture.pixels);
}

TEST(Presenters, BlocksSendOnlyWhatChangedAndEndUpAsAFreshPicture) {
  DrawnFrames frames;
  TerminalPresenter p;
  make_blocks_presenter(p, 120, 20, 40);
  CellTerminal shown(40, 120);
  std::string out;
  PresentFrame frame = frames.next();
  presenter_encode(p, frame, out);
  const size_t full_size = out.size();
  shown.feed(out);

  // One changed pixel row in the trace band: output for its cell row only.
  for (int x = 0; x < 300; ++x) frame.pixels[20 * 1024 + x] = rgb(255, 255, 255);
  out.clear();
  presenter_encode(p, frame, out);
  shown.feed(out);
  const std::string changes = unwrap(out);
  size_t moves = 0;
  for (size_t at = 0; (at = changes.find("\x1b[", at)) != std::string::npos; ++at) {
    size_t i = at + 2;
    const int row = read_number(changes, i);
    if (changes[i] == ';' && changes.find('H', i) < changes.find('m', i)) {
      EXPECT_EQ(row, 2) << "a cell row that did not change was sent";
      ++moves;
    }
  }
  EXPECT_EQ(moves, 1u);  // one run of changed cells
  EXPECT_LT(out.size(), full_size / 5);

  // Frames with the waterfall moving on, some skipped by the writer: the terminal ends
  // up exactly as a fresh picture of the last frame, for a fraction of the bytes.
  size_t sent = 0;
  int encoded = 0;
  for (int n = 0; n < 40; ++n) {
    const PresentFrame drawn = frames.next();
    if (n % 7 == 3 || n % 7 == 4) continue;
    frame = drawn;
    out.clear();
    presenter_encode(p, frame, out);
    shown.feed(out);
    sent += out.size();
    ++encoded;
  }
  TerminalPresenter fresh;
  make_blocks_presenter(fresh, 120, 20, 40);
  CellTerminal expected(40, 120);
  out.clear();
  presenter_encode(fresh, frame, out);
  expected.feed(out);
  EXPECT_LT(sent / encoded, out.size() / 4);
  for (int r = 0; r < 7; ++r) EXPECT_EQ(shown.text(r), expected.text(r)) << r;
  for (int r = 0; r < 7; ++r)
    for (int c = 0; c < 120; ++c) ASSERT_EQ(shown.at(r, c), expected.at(r, c)) << r << "," << c;
  // Messages scroll below the picture afterwards.
  EXPECT_EQ(shown.top, 20);
  EXPECT_EQ(shown.bottom, 39);
  // The labels are text, one character per cell; 9 or 10 cells apart they would touch,
  // so every second one from the centre is written.
  const std::string labels = shown.text(6);
  EXPECT_NE(labels.find("#145725000#"), std::string::npos) << labels;
  EXPECT_NE(labels.find("#145525000#"), std::string::npos) << labels;
  EXPECT_EQ(labels.find("145625000"), std::string::npos) << labels;
}
