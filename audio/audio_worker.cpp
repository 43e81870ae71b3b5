// The playback and capture workers: each keeps exactly two buffers with its wave device
// and handles one returned buffer per pass.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_channel.h"
#include "audio/channel_sync.h"

namespace {

// The two buffers a worker alternates between; its own storage, never the ring's.
struct WorkerBuffers {
  uint8_t data[2][audio_block_bytes] = {};
};

WaveFormat channel_format(const AudioChannel& c) {
  WaveFormat f;
  f.channels = static_cast<uint16_t>(c.channels);
  f.sample_rate = c.sample_rate;
  f.bits_per_sample = 16;
  return f;
}

// Opens the device; on success also creates the channel's semaphore and reports the
// worker running. On failure reports it stopped.
std::unique_ptr<WaveDevice> start_worker(AudioChannel* c, WaveDirection direction,
                                         std::atomic<int32_t>& state) {
  AudioSlots& slots = *c->owner;
  std::unique_ptr<WaveDevice> device =
      slots.backend->open(direction, c->device_id, channel_format(*c), audio_block_bytes);
  if (!device) {
    audio_set_state(slots, state, 0);
    return nullptr;
  }
  char name[64];
  std::snprintf(name, sizeof name, slots.semaphore_name, c->slot);
  c->semaphore.store(named_semaphore_open(name, 1));
  audio_set_state(slots, state, 1);
  return device;
}

// Stops the device at once, dropping what it still holds, closes it, and reports the
// worker stopped: the last thing the worker does with the record.
void end_worker(AudioChannel* c, std::unique_ptr<WaveDevice> device,
                std::atomic<int32_t>& state) {
  device->reset();
  device.reset();
  audio_set_state(*c->owner, state, 0);
}

// `count` fewer blocks waiting; never below zero.
void count_drained(AudioChannel* c, int32_t count = 1) {
  QueuedLock lock(c->semaphore.load(), c->owner->semaphore_wait_ms);
  int32_t q = c->queued.load();
  while (!c->queued.compare_exchange_weak(q, q > count ? q - count : 0)) {
  }
}

// Drops the oldest waiting blocks down to the target once more than the high mark
// wait, so that latency gained in a stall or by a fast producer does not last. Returns
// the read index after the drop; records the backlog. `sounded`: sound has played
// before, so the dropped blocks are a loss rather than the start-up backlog.
int32_t bound_backlog(AudioChannel* c, int32_t r, bool sounded) {
  const int32_t waiting = audio_waiting(r, c->write_index.load(std::memory_order_acquire));
  if (waiting <= c->backlog_high.load(std::memory_order_relaxed)) {
    c->backlog.store(waiting, std::memory_order_relaxed);
    return r;
  }
  const int32_t target = c->backlog_target.load(std::memory_order_relaxed);
  const int32_t drop = waiting - target;
  r = (r + drop) % audio_ring_blocks;
  c->read_index.store(r, std::memory_order_release);
  count_drained(c, drop);
  (sounded ? c->dropped : c->start_dropped)
      .fetch_add(static_cast<uint64_t>(drop), std::memory_order_relaxed);
  c->backlog.store(target, std::memory_order_relaxed);
  return r;
}

// Drops every block waiting in the ring, counted as lost: what was written for a device
// that has gone would only play late.
void drop_waiting(AudioChannel* c) {
  const int32_t w = c->write_index.load(std::memory_order_acquire);
  const int32_t waiting = audio_waiting(c->read_index.load(std::memory_order_relaxed), w);
  c->backlog.store(0, std::memory_order_relaxed);
  if (waiting == 0) return;
  c->read_index.store(w, std::memory_order_release);
  count_drained(c, waiting);
  c->dropped.fetch_add(static_cast<uint64_t>(waiting), std::memory_order_relaxed);
}

void say(const AudioChannel* c, const char* format, int32_t id, const std::string& name) {
  const AudioSlots& slots = *c->owner;
  if (!slots.notice) return;
  char line[512];
  std::snprintf(line, sizeof line, format, static_cast<int>(id), name.c_str());
  slots.notice(slots.notice_context, line);
}

// The id the device named `name` has now: the first exact match, or -2 when it is not
// there. The default device (-1) and a device the back end gives no name stay as they are.
int32_t current_id(WaveBackend& backend, int32_t id, const std::string& name) {
  if (id == -1 || name.empty()) return id;
  const std::vector<std::string> names = backend.device_names(WaveDirection::playback);
  const auto at = std::find(names.begin(), names.end(), name);
  return at == names.end() ? -2 : static_cast<int32_t>(at - names.begin());
}

// The playback device has gone: closes it, says so, and opens the device of that name
// again every 2 s until it opens (then says so) or `run` is cleared (then null).
// Meanwhile audio_write refuses every block and counts it dropped, so that the producer
// never waits for a device that is not there. `id` becomes the device's id now.
std::unique_ptr<WaveDevice> reopen(AudioChannel* c, std::unique_ptr<WaveDevice> lost,
                                   int32_t& id, const std::string& name) {
  c->lost.store(1, std::memory_order_relaxed);
  lost->reset();
  lost.reset();
  drop_waiting(c);
  say(c, audio_lost_format, id, name);
  WaveBackend& backend = *c->owner->backend;
  for (;;) {
    // Short sleeps, so that a close is noticed within one poll.
    const int64_t retry_at = backend.now_ms() + audio_retry_ms;
    for (int64_t now = backend.now_ms(); now < retry_at && c->run.load() == 1; now = backend.now_ms()) {
      backend.sleep_until(std::min<int64_t>(retry_at, now + audio_state_poll_ms));
    }
    if (c->run.load() != 1) return nullptr;
    // The list as it stands first: a sound server's devices keep their entries while it
    // restarts. Reading the list anew is for a name that is not there; it costs a restart
    // of the sound library, and not every library gives back all it loaded.
    int32_t now_id = current_id(backend, id, name);
    if (now_id < -1) {
      backend.rescan();
      now_id = current_id(backend, id, name);
    }
    if (now_id < -1) continue;
    std::unique_ptr<WaveDevice> device =
        backend.open(WaveDirection::playback, now_id, channel_format(*c), audio_block_bytes);
    if (!device) continue;
    id = now_id;
    // Blocks that slipped in while the flag was going up would only play late.
    drop_waiting(c);
    c->lost.store(0, std::memory_order_relaxed);
    say(c, audio_back_format, id, name);
    return device;
  }
}

}  // namespace

int playback_worker(AudioChannel* c) {
  std::unique_ptr<WaveDevice> device = start_worker(c, WaveDirection::playback, c->playback_state);
  if (!device) return 0;
  auto buffers = std::make_unique<WorkerBuffers>();
  // The device is found again by its name after it was lost: a restarted sound server
  // may number its devices differently.
  int32_t id = c->device_id;
  const std::string name = c->owner->backend->device_name(WaveDirection::playback, id);

  int current = 0;
  bool playing = false;
  bool sounded = false;  // sound has started at least once
  bool dry = false;      // the current gap in the sound is already counted
  for (bool fresh = true; fresh && c->run.load() == 1;) {
    // Two buffers of silence start the device. They come from the worker's own zeroed
    // buffers rather than ring blocks 0 and 1, so a producer that writes early never
    // shares a block with the device.
    std::memset(buffers->data, 0, sizeof buffers->data);
    device->queue(buffers->data[0], audio_block_bytes);
    device->queue(buffers->data[1], audio_block_bytes);
    device->wait(audio_device_wait_ms);  // the device's signal for its opening
    current = 0;
    playing = false;
    dry = false;
    fresh = false;
    for (;;) {
      if (c->run.load() != 1) break;
      // A wait that runs out counts as a returned buffer, so a device that stops
      // returning buffers still lets the worker notice a cleared `run`, unless the device
      // says it has gone: then it is opened again and primed anew.
      const bool returned = device->wait(audio_device_wait_ms);
      if (c->run.load() == 0) break;
      if (!returned && device->failed()) {
        device = reopen(c, std::move(device), id, name);
        fresh = device != nullptr;
        break;
      }

      uint8_t* data = buffers->data[current];
      if (!playing) {
        if (c->queued.load() > c->prebuffer) {
          playing = true;
        } else {
          std::memset(data, 0, audio_block_bytes);
          if (sounded && !dry) {
            c->underruns.fetch_add(1, std::memory_order_relaxed);
            dry = true;
          }
          c->backlog.store(audio_waiting(c->read_index.load(std::memory_order_relaxed),
                                         c->write_index.load(std::memory_order_acquire)),
                           std::memory_order_relaxed);
        }
      }
      if (playing) {
        int32_t r = bound_backlog(c, c->read_index.load(std::memory_order_relaxed), sounded);
        if (r != c->write_index.load(std::memory_order_acquire)) {
          sounded = true;
          dry = false;
          std::memcpy(data, c->blocks[r], audio_block_bytes);
          r = audio_next_block(r);
          c->read_index.store(r, std::memory_order_release);
          count_drained(c);
          if (c->queued.load() == 0 && r == c->write_index.load(std::memory_order_acquire)) {
            playing = false;
          }
        } else if (!dry) {
          // With the ring empty the buffer keeps what it held and plays it again.
          c->underruns.fetch_add(1, std::memory_order_relaxed);
          dry = true;
        }
      }
      device->queue(data, audio_block_bytes);
      current ^= 1;
    }
  }
  if (device) {
    end_worker(c, std::move(device), c->playback_state);
  } else {
    audio_set_state(*c->owner, c->playback_state, 0);
  }
  return 0;
}

int capture_worker(AudioChannel* c) {
  std::unique_ptr<WaveDevice> device = start_worker(c, WaveDirection::capture, c->capture_state);
  if (!device) return 0;
  auto buffers = std::make_unique<WorkerBuffers>();

  device->queue(buffers->data[0], audio_block_bytes);
  device->queue(buffers->data[1], audio_block_bytes);
  device->start();
  device->wait(audio_device_wait_ms);  // the device's signal for its opening

  int current = 0;
  if (c->run.load() == 1) {
    for (;;) {
      device->wait(audio_device_wait_ms);
      uint8_t* data = buffers->data[current];
      // After a wait that ran out nothing may have finished; the buffer then keeps what
      // it held.
      device->take(data, audio_block_bytes);
      if (c->run.load() == 0) break;

      if (c->hold.load() == 0) {
        int32_t w = c->write_index.load(std::memory_order_relaxed);
        std::memcpy(c->blocks[w], data, audio_block_bytes);
        w = audio_next_block(w);
        c->write_index.store(w, std::memory_order_release);
        QueuedLock lock(c->semaphore.load(), c->owner->semaphore_wait_ms);
        // Catching up with the reader overruns the ring: the waiting blocks are lost.
        if (w == c->read_index.load(std::memory_order_acquire)) {
          c->queued.store(0);
        } else {
          c->queued.fetch_add(1);
        }
      }
      device->queue(data, audio_block_bytes);
      current ^= 1;
      if (c->run.load() != 1) break;
    }
  }
  end_worker(c, std::move(device), c->capture_state);
  return 0;
}
