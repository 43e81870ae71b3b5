// Puts pictures on the terminal from a writer thread of their own, so that a slow
// terminal never holds up whoever draws: the drawer hands over frames through a
// one-frame mailbox, and a frame the writer had no time for is replaced by the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "terminal/graphics_encoders.h"
#include "platform/window_drawing.h"

// gdi draws on the console's own window (Windows) instead of writing to the terminal.
enum class PresenterKind { kitty, sixel, blocks, gdi };

struct PresentFrame {
  std::vector<uint32_t> pixels;  // 0x00BBGGRR, width per row
  int width = 0;
  int height = 0;
  std::vector<BlocksLabel> labels;  // the scale's labels, for presenters that write text
};

struct TerminalPresenter {
  PresenterKind kind = PresenterKind::blocks;
  int columns = 80;       // terminal columns the picture may use
  int picture_rows = 12;  // terminal rows the picture keeps at the top
  // Where the blocks presenter finds the trace band, labels and waterfall; with no
  // label_top the whole picture is shrunk into the rows instead.
  BlocksLayout blocks_layout;

  // Three frames change hands: the drawer fills frames[back], swaps it into the
  // mailbox, and the writer swaps the mailbox's frame for its own. Whoever holds an
  // index owns that frame; the acquire/release exchange hands its pixels over.
  PresentFrame frames[3];
  int back = 0;                      // drawer's
  int front = 1;                     // writer's
  std::atomic<uint32_t> mailbox{2};  // index of the frame in between, plus the bits below
  std::atomic<uint32_t> skipped{0};  // frames replaced before the writer took them
  std::atomic<uint32_t> written{0};  // frames put on the terminal (or the window)
  std::thread writer;
  std::string out;  // the writer's encoding buffer, kept between frames
  uint32_t kitty_shown = 0;  // writer's: image number on the terminal now, 0 for none
  int kitty_width = 0;       // writer's: its size
  int kitty_height = 0;
  BlocksScreen blocks_screen;  // writer's: the cells on the terminal now
  void* window = nullptr;  // gdi: the console's window, set before the start
  WindowPainter painter;   // writer's: gdi's memory bitmap
};

inline constexpr uint32_t mailbox_index_mask = 3;
inline constexpr uint32_t mailbox_fresh = 4;  // the frame in between is not taken yet
inline constexpr uint32_t mailbox_stop = 8;   // the writer is to end

// Starts the writer thread with p's kind, columns and picture rows.
void presenter_start(TerminalPresenter& p);

// Copies a width x height rectangle (rows stride pixels apart) and the scale's labels
// (their x in the rectangle's columns) for presenting. Never waits for the terminal.
void presenter_submit(TerminalPresenter& p, const uint32_t* pixels, int stride, int width,
                      int height, const BlocksLabel* labels = nullptr, int label_count = 0);

// The newest frame not taken yet, or null. The writer's side of the mailbox.
const PresentFrame* presenter_take(TerminalPresenter& p);

// The bytes that put frame on the terminal at its top-left corner, cursor kept; notes
// what is on the terminal now (the writer's side of p).
void presenter_encode(TerminalPresenter& p, const PresentFrame& frame, std::string& out);

// Ends the writer after the frame it is writing; frames still waiting are dropped. The
// gdi presenter then has the window repaint its own text over the picture.
void presenter_stop(TerminalPresenter& p);

// Image numbers the kitty presenter uses for the picture, in turn: a frame of a new
// size is shown under the number the previous one does not use; frames of the same
// size replace the pixels of the image shown.
inline constexpr uint32_t kitty_picture_id = 2024;
inline constexpr uint32_t kitty_other_picture_id = 2025;

// The bytes that take the picture off the terminal's top picture_rows rows; none for
// gdi, whose picture is never on the terminal.
std::string presenter_erase_text(const TerminalPresenter& p);
