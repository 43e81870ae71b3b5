#include "terminal/terminal_presenter.h"

#include <algorithm>
#include <cstring>

#include "platform/console_out.h"
#include "terminal/graphics_encoders.h"
#include "platform/thread_name.h"

namespace {

void writer_loop(TerminalPresenter& p) {
  name_current_thread("display out");
  for (;;) {
    uint32_t m = p.mailbox.load(std::memory_order_acquire);
    while (!(m & (mailbox_fresh | mailbox_stop))) {
      p.mailbox.wait(m, std::memory_order_acquire);
      m = p.mailbox.load(std::memory_order_acquire);
    }
    if (m & mailbox_stop) break;
    const PresentFrame* frame = presenter_take(p);
    if (!frame) continue;
    if (p.kind == PresenterKind::gdi) {
      window_paint(p.painter, p.window, frame->pixels.data(), frame->width, frame->height);
      p.written.fetch_add(1, std::memory_order_release);
      p.written.notify_all();
      continue;
    }
    p.out.clear();
    presenter_encode(p, *frame, p.out);
    // One write per frame: a console message never lands inside a picture.
    console_write(p.out);
    p.written.fetch_add(1, std::memory_order_release);
    p.written.notify_all();
  }
  window_painter_release(p.painter);
}

}  // namespace

void presenter_start(TerminalPresenter& p) {
  p.kitty_shown = 0;
  p.kitty_width = 0;
  p.kitty_height = 0;
  p.blocks_screen = BlocksScreen{};
  p.mailbox.store(static_cast<uint32_t>(3 - p.back - p.front), std::memory_order_relaxed);
  p.writer = std::thread(writer_loop, std::ref(p));
}

void presenter_submit(TerminalPresenter& p, const uint32_t* pixels, int stride, int width,
                      int height, const BlocksLabel* labels, int label_count) {
  if (width <= 0 || height <= 0) return;
  PresentFrame& f = p.frames[p.back];
  f.width = width;
  f.height = height;
  f.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    std::memcpy(f.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width),
                pixels + static_cast<size_t>(y) * static_cast<size_t>(stride),
                static_cast<size_t>(width) * sizeof(uint32_t));
  }
  f.labels.assign(labels, labels + std::max(label_count, 0));
  // Keep the stop bit; hand the filled frame over and take back whichever was waiting.
  uint32_t old = p.mailbox.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = static_cast<uint32_t>(p.back) | mailbox_fresh | (old & mailbox_stop);
  } while (!p.mailbox.compare_exchange_weak(old, next, std::memory_order_acq_rel,
                                            std::memory_order_relaxed));
  if (old & mailbox_fresh) p.skipped.fetch_add(1, std::memory_order_relaxed);
  p.back = static_cast<int>(old & mailbox_index_mask);
  p.mailbox.notify_all();
}

const PresentFrame* presenter_take(TerminalPresenter& p) {
  uint32_t old = p.mailbox.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    if (!(old & mailbox_fresh)) return nullptr;
    next = static_cast<uint32_t>(p.front) | (old & mailbox_stop);
  } while (!p.mailbox.compare_exchange_weak(old, next, std::memory_order_acq_rel,
                                            std::memory_order_relaxed));
  p.front = static_cast<int>(old & mailbox_index_mask);
  p.mailbox.notify_all();  // lets a drawer await the hand-over
  return &p.frames[p.front];
}

void presenter_encode(TerminalPresenter& p, const PresentFrame& frame, std::string& out) {
  switch (p.kind) {
    case PresenterKind::kitty: {
      // Editing the shown image in place costs the terminal less than a new image.
      const bool edit = p.kitty_shown != 0 && p.kitty_width == frame.width &&
                        p.kitty_height == frame.height;
      uint32_t id = p.kitty_shown;
      if (!edit) id = p.kitty_shown == kitty_picture_id ? kitty_other_picture_id : kitty_picture_id;
      kitty_encode(out, frame.pixels.data(), frame.width, frame.height, id, p.kitty_shown, edit);
      p.kitty_shown = id;
      p.kitty_width = frame.width;
      p.kitty_height = frame.height;
      break;
    }
    case PresenterKind::sixel:
      sixel_encode(out, frame.pixels.data(), frame.width, frame.height);
      break;
    case PresenterKind::blocks:
      if (p.blocks_layout.label_top > 0) {
        blocks_encode_cells(out, p.blocks_screen, frame.pixels.data(), frame.width, frame.height,
                            frame.labels.data(), static_cast<int>(frame.labels.size()),
                            p.blocks_layout);
      } else {
        blocks_encode(out, frame.pixels.data(), frame.width, frame.height, p.columns,
                      p.picture_rows);
      }
      break;
    case PresenterKind::gdi:
      break;  // drawn on the window, nothing to write
  }
}

void presenter_stop(TerminalPresenter& p) {
  if (!p.writer.joinable()) return;
  p.mailbox.fetch_or(mailbox_stop, std::memory_order_acq_rel);
  p.mailbox.notify_all();
  p.writer.join();
  if (p.kind == PresenterKind::gdi) window_repaint(p.window);
  // Ready for a later start: nothing waiting, no stop.
  p.mailbox.store(static_cast<uint32_t>(3 - p.back - p.front), std::memory_order_relaxed);
}

std::string presenter_erase_text(const TerminalPresenter& p) {
  if (p.kind == PresenterKind::gdi) return {};
  std::string out = "\x1b" "7";
  if (p.kind == PresenterKind::kitty) {
    out += kitty_delete_text(kitty_picture_id) + kitty_delete_text(kitty_other_picture_id);
  }
  if (p.kind == PresenterKind::sixel) {
    // Erasing text leaves sixel pixels behind in xterm; scrolling them out of a region
    // takes them away.
    const std::string rows = std::to_string(p.picture_rows);
    out += "\x1b[1;" + rows + "r\x1b[" + rows + "S\x1b[r";
  }
  for (int row = 1; row <= p.picture_rows; ++row) {
    out += "\x1b[" + std::to_string(row) + ";1H\x1b[2K";
  }
  out += "\x1b" "8";
  return out;
}
