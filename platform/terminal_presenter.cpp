#include "platform/terminal_presenter.h"

#include <algorithm>
#include <cstring>

#include "platform/console_out.h"
#include "platform/graphics_encoders.h"
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
    if (m & mailbox_stop) return;
    const PresentFrame* frame = presenter_take(p);
    if (!frame) continue;
    p.out.clear();
    presenter_encode(p, *frame, p.out);
    // One write per frame: a console message never lands inside a picture.
    console_write(p.out);
    p.written.fetch_add(1, std::memory_order_release);
    p.written.notify_all();
  }
}

}  // namespace

void presenter_start(TerminalPresenter& p) {
  p.mailbox.store(static_cast<uint32_t>(3 - p.back - p.front), std::memory_order_relaxed);
  p.writer = std::thread(writer_loop, std::ref(p));
}

void presenter_submit(TerminalPresenter& p, const uint32_t* pixels, int stride, int width,
                      int height) {
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

void presenter_encode(const TerminalPresenter& p, const PresentFrame& frame, std::string& out) {
  switch (p.kind) {
    case PresenterKind::kitty:
      kitty_encode(out, frame.pixels.data(), frame.width, frame.height, kitty_picture_id);
      break;
    case PresenterKind::sixel:
      sixel_encode(out, frame.pixels.data(), frame.width, frame.height);
      break;
    case PresenterKind::blocks:
      blocks_encode(out, frame.pixels.data(), frame.width, frame.height, p.columns,
                    p.picture_rows);
      break;
  }
}

void presenter_stop(TerminalPresenter& p) {
  if (!p.writer.joinable()) return;
  p.mailbox.fetch_or(mailbox_stop, std::memory_order_acq_rel);
  p.mailbox.notify_all();
  p.writer.join();
  // Ready for a later start: nothing waiting, no stop.
  p.mailbox.store(static_cast<uint32_t>(3 - p.back - p.front), std::memory_order_relaxed);
}

std::string presenter_erase_text(const TerminalPresenter& p) {
  std::string out = "\x1b" "7";
  if (p.kind == PresenterKind::kitty) out += kitty_delete_text(kitty_picture_id);
  for (int row = 1; row <= p.picture_rows; ++row) {
    out += "\x1b[" + std::to_string(row) + ";1H\x1b[2K";
  }
  out += "\x1b" "8";
  return out;
}
