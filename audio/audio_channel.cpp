#include "audio/audio_channel.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>
#include <thread>

#include "audio/channel_sync.h"
#include "platform/thread_name.h"

namespace {

bool valid_slot(int slot) { return slot >= 0 && slot < audio_slot_count; }

// Marks a use of a slot's record for the time it lives. The count is raised before
// in_use is tested and audio_close lowers in_use before it tests the count (both in
// sequentially consistent order), so either the user sees the slot closing or the
// closer sees the user and waits for it.
class SlotUse {
 public:
  SlotUse(AudioSlots& slots, AudioSlot& slot) : slots_(slots), slot_(slot) {
    slot_.users.fetch_add(1);
  }
  ~SlotUse() {
    if (slot_.users.fetch_sub(1) == 1 && slot_.in_use.load() != 1) {
      // A closer may be polling for this use to end.
      std::lock_guard<std::mutex> lock(slots_.state_mutex);
      slots_.state_changed.notify_all();
    }
  }
  SlotUse(const SlotUse&) = delete;
  SlotUse& operator=(const SlotUse&) = delete;

 private:
  AudioSlots& slots_;
  AudioSlot& slot_;
};

void run_worker(AudioChannel* channel, bool playback) {
  char name[16];
  std::snprintf(name, sizeof name, "audio%d", channel->slot);
  name_current_thread(name);
  if (playback) {
    playback_worker(channel);
  } else {
    capture_worker(channel);
  }
}

}  // namespace

AudioChannel* audio_channel_allocate() { return new (std::nothrow) AudioChannel(); }

void audio_channel_free(AudioChannel* channel) { delete channel; }

int audio_open(AudioSlots& slots, int slot, int direction, int sample_rate, int channels,
               int device_id) {
  if (!valid_slot(slot)) return 0;
  AudioSlot& entry = slots.slots[slot];
  int32_t free_slot = 0;
  if (!entry.in_use.compare_exchange_strong(free_slot, 2)) return 0;

  AudioChannel* channel = slots.allocate();
  if (!channel) {
    entry.in_use.store(0);
    return 0;
  }
  bool playback = direction != 0;
  std::atomic<int32_t>& state = playback ? channel->playback_state : channel->capture_state;
  channel->owner = &slots;
  channel->device_id = device_id;
  channel->channels = channels;
  channel->sample_rate = sample_rate;
  channel->prebuffer = 1;
  channel->run.store(1);
  channel->slot = slot;
  state.store(-1);

  // This call keeps using the record until its worker has started; a close that comes
  // in meanwhile waits for it.
  SlotUse use(slots, entry);
  entry.channel.store(channel);
  entry.in_use.store(1);

  try {
    std::thread worker(run_worker, channel, playback);
    entry.thread_id.store(static_cast<uint32_t>(std::hash<std::thread::id>{}(worker.get_id())));
    worker.detach();
  } catch (const std::system_error&) {
    // No thread: the same as a device that did not open.
    audio_set_state(slots, state, 0);
  }

  int32_t result = -1;
  audio_poll(slots, [&] {
    result = state.load();
    return result != -1;
  });
  return result;
}

int audio_close(AudioSlots& slots, int slot) {
  if (!valid_slot(slot)) return 0;
  AudioSlot& entry = slots.slots[slot];
  // Only one caller gets from 1 to 2: a second close at the same time returns 0 and
  // the record is freed once.
  int32_t open_slot = 1;
  if (!entry.in_use.compare_exchange_strong(open_slot, 2)) return 0;
  AudioChannel* channel = entry.channel.load();
  channel->run.store(0);
  entry.in_use.store(0);

  audio_poll(slots, [&] {
    return channel->playback_state.load() == 0 && channel->capture_state.load() == 0 &&
           entry.users.load() == 0;
  });
  // The worker has ended and no writer is inside, so nobody uses the semaphore handle.
  named_semaphore_close(channel->semaphore.load());
  audio_channel_free(channel);
  return 1;
}

int audio_write(AudioSlots& slots, int slot, const void* data, int length) {
  if (!valid_slot(slot)) return 0;
  AudioSlot& entry = slots.slots[slot];
  SlotUse use(slots, entry);
  if (entry.in_use.load() != 1) return 0;
  AudioChannel* channel = entry.channel.load();
  if (channel->hold.load(std::memory_order_relaxed) == 1) return 0;
  if (channel->playback_state.load() == 0) return 0;
  if (channel->lost.load(std::memory_order_relaxed) != 0) {
    channel->dropped.fetch_add(1, std::memory_order_relaxed);  // nowhere to play it
    return 0;
  }
  if (channel->queued.load() >= audio_max_queued) {
    channel->dropped.fetch_add(1, std::memory_order_relaxed);  // too late for a full ring
    return 0;
  }
  // Only whole-block or shorter copies fit a ring block.
  if (!data || length <= 0 || length > audio_block_bytes) return 0;

  int32_t w = channel->write_index.load(std::memory_order_relaxed);
  std::memcpy(channel->blocks[w], data, static_cast<size_t>(length));
  {
    QueuedLock lock(channel->semaphore.load(), slots.semaphore_wait_ms);
    channel->queued.fetch_add(1);
  }
  // Counted before it is published: the worker can take the block only after seeing
  // the new write_index, so its decrement always follows this increment and `queued`
  // never loses a block to the worker's clamp at zero.
  channel->write_index.store(audio_next_block(w), std::memory_order_release);
  return length;
}

AudioLosses audio_losses(AudioSlots& slots, int slot) {
  AudioLosses losses;
  if (!valid_slot(slot)) return losses;
  AudioSlot& entry = slots.slots[slot];
  SlotUse use(slots, entry);
  if (entry.in_use.load() != 1) return losses;
  const AudioChannel* channel = entry.channel.load();
  losses.dropped = channel->dropped.load(std::memory_order_relaxed);
  losses.start_dropped = channel->start_dropped.load(std::memory_order_relaxed);
  losses.underruns = channel->underruns.load(std::memory_order_relaxed);
  losses.backlog = channel->backlog.load(std::memory_order_relaxed);
  return losses;
}
