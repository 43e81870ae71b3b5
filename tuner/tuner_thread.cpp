#include "tuner/tuner_thread.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "core/print_console.h"
#include "tuner/tuner_steps.h"

namespace {

// The reading has stopped (or never began): the reader ends once it has seen this.
void stop_stream(TunerLinks& links) {
  links.state.stream_stop.store(1);
  if (links.ring_stored) wake_event_set(*links.ring_stored);
}

// Marks the end on every way out of the thread.
struct EndMark {
  TunerEnd* end;
  ~EndMark() {
    if (!end) return;
    {
      std::lock_guard<std::mutex> guard(end->lock);
      end->done.store(1, std::memory_order_relaxed);
    }
    end->signal.notify_all();
  }
};

// Waits `delay`, or less once running is cleared; false then.
bool wait_running(const RxState& s, std::chrono::milliseconds delay) {
  constexpr auto slice = std::chrono::milliseconds(50);
  const auto until = std::chrono::steady_clock::now() + delay;
  while (s.running.load() != 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(slice, until - now));
  }
  return false;
}

// Looks for the gone dongle until it is back (its handle) or running is cleared (null).
// Nothing is printed while it is away; keys go on changing RxState meanwhile.
Dongle* look_again(TunerLinks& links, TunerApplied& applied, uint8_t* read_buffer, const std::string& serial) {
  DongleApi& dongle = links.dongle;
  auto delay = dongle.across_network() ? links.retry.network_first : links.retry.usb;
  dongle.quiet_failures(true);
  Dongle* dev = nullptr;
  while (dev == nullptr && wait_running(links.state, delay)) {
    dev = tuner_reopen(links, applied, read_buffer, serial);
    if (dongle.across_network()) delay = std::min(delay * 2, links.retry.network_longest);
  }
  dongle.quiet_failures(false);
  return dev;
}

}  // namespace

bool tuner_end_wait(TunerEnd& end, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(end.lock);
  return end.signal.wait_for(guard, limit, [&] { return end.done.load(std::memory_order_relaxed) != 0; });
}

int tuner_thread(TunerLinks links) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;
  const EndMark end_mark{links.end};

  // A dongle that waits on the network lets go once running is cleared.
  dongle.watch_running(&s.running);

  // Zeroed, so that a block stored after a failed read never carries uninitialised bytes.
  std::unique_ptr<uint8_t[]> read_buffer(new uint8_t[read_block_bytes]());

  TunerApplied applied;
  std::string serial;
  Dongle* dev = tuner_open(links, applied, read_buffer.get(), serial);
  if (dev == nullptr) {
    stop_stream(links);
    return 0;
  }
  print_console("Type V for user interface\n");

  bool first_pass = true;
  int32_t failed_in_row = 0;
  int n_read = 0;
  while (s.running.load() != 0) {
    const int result = dongle.read_sync(dev, read_buffer.get(), read_block_bytes, &n_read);
    if (result < 0) {
      // A gone dongle fails every read at once: stop as on shutdown rather than spin,
      // flood the console and feed the same stale block without end.
      if (result == dongle_gone_result || ++failed_in_row >= gone_after_failed_reads) {
        print_console("%s", dongle_gone_text);
        if (!links.options.reconnect || !dongle.comes_back()) break;
        // The lost handle is closed first: the library frees what it held.
        tuner_close(links, dev);
        dev = look_again(links, applied, read_buffer.get(), serial);
        if (dev == nullptr) break;
        failed_in_row = 0;
        continue;
      }
      print_console("sync_read failed.");
      // Nothing was read, so nothing is stored: the buffer still holds the last block,
      // and handing it on again would play old signal as new.
      s.failed_reads.fetch_add(1, std::memory_order_relaxed);
    } else {
      failed_in_row = 0;
      // A short read hands on only what arrived.
      const int32_t got = std::clamp(n_read, 0, read_block_bytes);
      if (got > 0) {
        ring_store(links.ring, read_buffer.get(), got);
        if (links.stored) links.stored(links.tap_context, read_buffer.get(), got);
        if (links.ring_stored && ring_wake_due(links.ring)) wake_event_set(*links.ring_stored);
      }
    }
    tuner_apply_requests(links, dev, applied, first_pass);
    first_pass = false;
  }

  stop_stream(links);
  if (dev != nullptr) tuner_close(links, dev);
  return 0;
}
