// Audio channels: a table of 12 slots, each open channel a worker thread with a ring of
// 200 PCM blocks between it and the rest of the receiver. A playback channel's producer
// calls audio_write; its worker keeps two buffers queued on a wave device and refills
// each from the ring (or with silence) as the device finishes it. A capture channel's
// worker fills the ring from the device instead.
//
// All operations return 0 for refused or failed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/named_semaphore.h"
#include "platform/wave_device.h"

inline constexpr int audio_slot_count = 12;
inline constexpr int audio_block_bytes = 20480;
inline constexpr int audio_ring_blocks = 200;
// At most this many blocks wait in a playback ring, so the writer never laps the reader.
inline constexpr int audio_max_queued = audio_ring_blocks - 1;

// Bounds on the playback backlog (blocks waiting in the ring when the worker takes the
// next one). Sound starts, and starts again after the ring ran dry, once more than
// `prebuffer` (1) blocks wait: the low mark is 2. A stall of the worker or of the
// sound card, or a producer whose clock runs fast, would otherwise keep every block it
// gained as lasting latency: once more than the high mark wait, the oldest are dropped
// down to the target. Between the marks the ordinary jitter of the producer (blocks come
// in small bursts as the DSP thread catches up with the tuner) never drops a block.
inline constexpr int audio_backlog_high = 6;
inline constexpr int audio_backlog_target = 3;

// Waits of the workers and of the channel operations.
inline constexpr int audio_device_wait_ms = 2000;     // for a device buffer to come back
inline constexpr int audio_semaphore_wait_ms = 1000;  // for the channel's semaphore
inline constexpr int audio_state_poll_ms = 100;       // between tests of a worker's state
// Between attempts to open a playback device again after it was lost.
inline constexpr int audio_retry_ms = 2000;

// What a playback worker says when its device goes away and when it is back: the
// device's id and name.
inline constexpr const char* audio_lost_format =
    "Output device %d (%s) lost: sound stopped; trying again every 2 s\n";
inline constexpr const char* audio_back_format = "Output device %d (%s) back\n";

struct AudioSlots;

// One open channel. Fields shared between threads are atomics; the rest are set by
// audio_open before the worker starts and only read afterwards.
struct AudioChannel {
  // Guards changes of `queued` together with any other process that opened the same
  // name. Created by the worker once its device is open; null before, and null if it
  // could not be created.
  std::atomic<NamedSemaphore*> semaphore{nullptr};
  std::atomic<int32_t> hold{0};         // 1: audio_write refuses; non-zero: capture discards
  std::atomic<int32_t> write_index{0};  // next ring block to fill
  std::atomic<int32_t> read_index{0};   // next ring block to drain
  std::atomic<int32_t> queued{0};       // blocks waiting in the ring
  int32_t device_id = 0;                // -1: the default device
  int32_t sample_rate = 0;              // frames per second
  std::atomic<int32_t> capture_state{0};   // -1 starting, 1 running, 0 not running
  std::atomic<int32_t> playback_state{0};  // the same, for a playback worker
  int32_t prebuffer = 0;  // playback plays silence while queued is at most this
  // More blocks waiting than backlog_high are dropped down to backlog_target (set by
  // audio_open to the marks above).
  std::atomic<int32_t> backlog_high{audio_backlog_high};
  std::atomic<int32_t> backlog_target{audio_backlog_target};
  int32_t channels = 0;   // samples per frame
  std::atomic<uint8_t> run{0};  // cleared by audio_close to stop the worker
  // 1 while the playback device is lost and the worker tries to open it again:
  // audio_write then refuses every block and counts it dropped.
  std::atomic<uint8_t> lost{0};
  int32_t slot = 0;
  AudioSlots* owner = nullptr;  // the table the channel belongs to
  // What the playback side lost, for the receiver's report; counts since open, each
  // written by one thread and read by any.
  std::atomic<uint64_t> dropped{0};    // blocks dropped for waiting too long, or refused by a full ring
  std::atomic<uint64_t> underruns{0};  // times the ring ran dry after sound had started
  // Blocks dropped before any sound had played: what the producer made while the device
  // was still starting (PulseAudio takes about 1.7 s to ask for its first buffer). Not a
  // loss anyone could hear, so kept apart from `dropped`.
  std::atomic<uint64_t> start_dropped{0};
  std::atomic<int32_t> backlog{0};     // blocks waiting at the worker's latest pass
  uint8_t blocks[audio_ring_blocks][audio_block_bytes] = {};
};

struct AudioSlot {
  // 1 while the slot holds an open channel, 0 when free. Between the two it is briefly 2
  // while one audio_open or one audio_close owns the slot; every other operation then
  // treats it as not in use.
  std::atomic<int32_t> in_use{0};
  std::atomic<uint32_t> thread_id{0};  // the worker's thread id; informational
  std::atomic<AudioChannel*> channel{nullptr};
  // Calls of audio_write (and an audio_open that is still waiting for its worker) that
  // may be using `channel`; audio_close frees the record only when this is 0.
  std::atomic<int32_t> users{0};
};

AudioChannel* audio_channel_allocate();       // zero-filled, or null
void audio_channel_free(AudioChannel* channel);

struct AudioSlots {
  AudioSlot slots[audio_slot_count];

  // Where the workers open their devices: PortAudio, or a virtual device in tests.
  WaveBackend* backend = &system_wave_backend();
  // The name of a channel's semaphore, from its slot number. Other processes open the
  // same name to share it.
  const char* semaphore_name = "/Sem_%d_potok";
  int semaphore_wait_ms = audio_semaphore_wait_ms;
  AudioChannel* (*allocate)() = audio_channel_allocate;

  // A worker's state change and the end of an audio_write on a closing slot are
  // announced here, so that the 100 ms polls of audio_open and audio_close end as soon
  // as what they wait for has happened.
  std::mutex state_mutex;
  std::condition_variable state_changed;

  // Where a worker's lines go (a lost device, its return), called on the worker's
  // thread with one whole line; null: nowhere.
  void (*notice)(void* context, const char* line) = nullptr;
  void* notice_context = nullptr;
};

// Opens slot 0..11 as a playback (direction non-zero) or capture channel and starts its
// worker. Returns 1 when the device opened and the worker runs; 0 for a slot out of
// range or in use, a record that cannot be allocated, or a device that did not open (the
// slot then stays in use until audio_close).
int audio_open(AudioSlots& slots, int slot, int direction, int sample_rate, int channels,
               int device_id);

// Stops the slot's worker and frees its record once the worker has ended and no
// audio_write is using it. 1 when it closed the slot; 0 for a slot out of range or not
// in use (also for the second of two overlapping calls).
int audio_close(AudioSlots& slots, int slot);

// Queues one block (1 to 20,480 bytes) for playback. Returns `length`, or 0 when refused:
// slot out of range or not in use, hold set, no running playback worker, 199 blocks
// already waiting, the device lost, or a length out of range. A refused block changes
// nothing but the dropped count (full ring, lost device). Never waits for the device.
int audio_write(AudioSlots& slots, int slot, const void* data, int length);

// The worker threads; the argument is the channel's record. Both return 0.
int playback_worker(AudioChannel* channel);
int capture_worker(AudioChannel* channel);

// Ring indices advance one block at a time and wrap from 199 to 0.
inline int32_t audio_next_block(int32_t index) { return index >= audio_ring_blocks - 1 ? 0 : index + 1; }

// Blocks between the reader at `read` and the writer at `write`.
inline int32_t audio_waiting(int32_t read, int32_t write) {
  return write >= read ? write - read : write + audio_ring_blocks - read;
}

// The lost-audio counts of an open slot; all zero for a slot that is not open.
struct AudioLosses {
  uint64_t dropped = 0;
  uint64_t start_dropped = 0;
  uint64_t underruns = 0;
  int32_t backlog = 0;
};
AudioLosses audio_losses(AudioSlots& slots, int slot);
