// Wave devices on PortAudio. The stream's callback runs on the card's clock: it moves
// frames between the card and a small ring of buffer copies. The stream asks for one
// buffer's worth of frames per callback, so the callback, the sound server's client
// and the server itself wake once per buffer rather than every few milliseconds. The
// host then keeps two such periods: one playing, one waiting. A playback buffer counts
// as finished one callback after its last frame went to the host, when the period
// before it has played out: the worker's two buffers and the host's two periods then
// overlap by one instead of stacking. A capture buffer is finished when the card has
// delivered its last frame. The ring is single-producer single-consumer between the
// worker and the callback, so the callback never takes a lock; completion is a POSIX
// semaphore, whose post is safe in a callback.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pa_linux_alsa.h>
#include <portaudio.h>
#include <semaphore.h>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/linux/posix_support.h"
#include "platform/named_semaphore.h"
#include "platform/thread_name.h"
#include "platform/wave_device.h"

namespace {

// Streams open now, under portaudio_lock(): PortAudio is only restarted at none.
int open_streams = 0;

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A running stream whose callback has not come for this long has gone (the sound server
// ended under it), unless it never came at all: PulseAudio takes about 1.7 s to ask for
// a stream's first buffer, far longer on a loaded machine. Both limits are many buffers
// long, and a worker only asks after its 2 s wait ran out.
constexpr int64_t callback_stall_ms = 1500;
constexpr int64_t first_callback_limit_ms = 10000;

// More than the two buffers a worker keeps queued, so a worker that refills a buffer
// after a wait that ran out is never refused while the card is still behind.
constexpr uint32_t device_slots = 4;

class PortAudioWaveDevice final : public WaveDevice {
 public:
  PortAudioWaveDevice(WaveDirection direction, const WaveFormat& format, int buffer_bytes)
      : direction_(direction),
        buffer_bytes_(buffer_bytes),
        block_align_(wave_block_align(format)),
        storage_(static_cast<size_t>(buffer_bytes) * device_slots) {
    sem_init(&finished_, 0, 0);
  }

  ~PortAudioWaveDevice() override {
    if (stream_) {
      std::lock_guard<std::mutex> lock(portaudio_lock());
      Pa_CloseStream(stream_);  // aborts a running stream first
      --open_streams;
    }
    sem_destroy(&finished_);
  }

  // Called with portaudio_lock() held.
  bool open_locked(PaDeviceIndex index, const WaveFormat& format) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (!info) return false;
    PaStreamParameters params{};
    params.device = index;
    params.channelCount = format.channels;
    params.sampleFormat = paInt16;
    // One buffer per callback; asking for no more latency than one buffer lets the host
    // settle on its minimum of two periods.
    const unsigned long buffer_frames = static_cast<unsigned long>(buffer_bytes_ / block_align_);
    params.suggestedLatency = static_cast<double>(buffer_frames) / format.sample_rate;
    bool out = direction_ == WaveDirection::playback;
    PaError e = Pa_OpenStream(&stream_, out ? nullptr : &params, out ? &params : nullptr,
                              format.sample_rate, buffer_frames, paNoFlag,
                              &PortAudioWaveDevice::callback, this);
    if (e != paNoError) {
      stream_ = nullptr;
      return false;
    }
    ++open_streams;
    // The card's clock waits for nobody: on a busy machine a callback thread that waits
    // its turn behind compilers starves the sound server, which then skips seconds. Where
    // the system allows it (an rtprio limit, or root), the thread runs ahead of them.
    const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
    if (host && host->type == paALSA) PaAlsa_EnableRealtimeScheduling(stream_, 1);
    // Playback runs from the start and plays silence until a buffer is queued; capture
    // waits for start().
    if (out) {
      if (Pa_StartStream(stream_) != paNoError) return false;
      mark_started();
    }
    sem_post(&finished_);  // the signal for the open
    return true;
  }

  bool wait(int timeout_ms) override { return semaphore_wait_for(&finished_, timeout_ms); }

  bool queue(const uint8_t* data, int length) override {
    if (length <= 0 || length > buffer_bytes_) return false;
    if (direction_ == WaveDirection::playback && !data) return false;
    uint32_t tail = tail_.load(std::memory_order_relaxed);
    // A slot is free again once the card has finished it (playback) or the worker has
    // taken its recording (capture).
    uint32_t oldest = direction_ == WaveDirection::playback
                          ? done_.load(std::memory_order_acquire)
                          : taken_;
    if (tail - oldest >= device_slots) return false;
    uint32_t slot = tail % device_slots;
    if (data && direction_ == WaveDirection::playback) {
      std::memcpy(slot_data(slot), data, static_cast<size_t>(length));
    }
    lengths_[slot] = length;
    tail_.store(tail + 1, std::memory_order_release);
    if (!active_) {
      std::lock_guard<std::mutex> lock(portaudio_lock());
      if (direction_ == WaveDirection::playback && Pa_StartStream(stream_) == paNoError) {
        mark_started();
      }
    }
    return true;
  }

  bool take(uint8_t* data, int length) override {
    if (direction_ != WaveDirection::capture) return false;
    if (taken_ == done_.load(std::memory_order_acquire)) return false;
    uint32_t slot = taken_ % device_slots;
    int n = std::min(length, lengths_[slot]);
    if (n > 0) std::memcpy(data, slot_data(slot), static_cast<size_t>(n));
    ++taken_;
    return true;
  }

  void start() override {
    if (direction_ != WaveDirection::capture || active_) return;
    std::lock_guard<std::mutex> lock(portaudio_lock());
    if (Pa_StartStream(stream_) == paNoError) mark_started();
  }

  // The stream has ended on an error (PortAudio stopped it), or its callback has stopped
  // coming: a sound server that died leaves the stream active but silent.
  bool failed() override {
    if (!active_) return false;
    {
      std::lock_guard<std::mutex> lock(portaudio_lock());
      if (Pa_IsStreamActive(stream_) != 1) return true;
    }
    const int64_t last = last_callback_ms_.load(std::memory_order_relaxed);
    const int64_t quiet = steady_ms() - (last != 0 ? last : started_ms_);
    return quiet >= (last != 0 ? callback_stall_ms : first_callback_limit_ms);
  }

  void reset() override {
    if (active_) {
      std::lock_guard<std::mutex> lock(portaudio_lock());
      Pa_AbortStream(stream_);  // the callback has stopped once this returns
      active_ = false;
      callback_named_ = false;  // a restarted stream runs on a new thread
    }
    // Every buffer still queued comes back now: unplayed, or with whatever part of it
    // was recorded.
    uint32_t tail = tail_.load(std::memory_order_relaxed);
    uint32_t done = done_.load(std::memory_order_relaxed);
    done_.store(tail, std::memory_order_release);
    copied_ = tail;
    offset_ = 0;
    for (uint32_t i = done; i != tail; ++i) sem_post(&finished_);
  }

 private:
  void mark_started() {
    active_ = true;
    started_ms_ = steady_ms();
    last_callback_ms_.store(0, std::memory_order_relaxed);
  }

  uint8_t* slot_data(uint32_t slot) {
    return storage_.data() + static_cast<size_t>(slot) * static_cast<size_t>(buffer_bytes_);
  }

  static int callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
    auto* d = static_cast<PortAudioWaveDevice*>(self);
    // Only a sign of life for failed(); nothing is published with it.
    d->last_callback_ms_.store(steady_ms(), std::memory_order_relaxed);
    // The stream's thread is PortAudio's; it would otherwise carry the worker's name.
    if (!d->callback_named_) {
      name_current_thread("audio callback");
      d->callback_named_ = true;
    }
    size_t bytes = static_cast<size_t>(frames) * static_cast<size_t>(d->block_align_);
    if (d->direction_ == WaveDirection::playback) {
      d->play(static_cast<uint8_t*>(output), bytes);
    } else {
      d->record(static_cast<const uint8_t*>(input), bytes);
    }
    return paContinue;
  }

  // Fills the card's buffer from the queued buffers in order, silence after the last.
  // The buffers whose last frame went out in the previous callback finish now.
  void play(uint8_t* out, size_t bytes) {
    for (uint32_t done = done_.load(std::memory_order_relaxed); done != copied_; ++done) {
      done_.store(done + 1, std::memory_order_release);
      sem_post(&finished_);
    }
    size_t pos = 0;
    while (pos < bytes) {
      if (copied_ == tail_.load(std::memory_order_acquire)) {
        std::memset(out + pos, 0, bytes - pos);
        return;
      }
      uint32_t slot = copied_ % device_slots;
      size_t left = static_cast<size_t>(lengths_[slot]) - offset_;
      size_t n = std::min(left, bytes - pos);
      std::memcpy(out + pos, slot_data(slot) + offset_, n);
      pos += n;
      offset_ += n;
      if (offset_ == static_cast<size_t>(lengths_[slot])) {
        offset_ = 0;
        ++copied_;
      }
    }
  }

  // Fills the queued buffers in order with what the card delivered; with none queued
  // the frames are dropped.
  void record(const uint8_t* in, size_t bytes) {
    size_t pos = 0;
    while (pos < bytes) {
      uint32_t done = done_.load(std::memory_order_relaxed);
      if (done == tail_.load(std::memory_order_acquire)) return;
      uint32_t slot = done % device_slots;
      size_t left = static_cast<size_t>(lengths_[slot]) - offset_;
      size_t n = std::min(left, bytes - pos);
      if (in) {
        std::memcpy(slot_data(slot) + offset_, in + pos, n);
      } else {
        std::memset(slot_data(slot) + offset_, 0, n);
      }
      pos += n;
      offset_ += n;
      if (offset_ == static_cast<size_t>(lengths_[slot])) finish(done);
    }
  }

  void finish(uint32_t done) {
    offset_ = 0;
    done_.store(done + 1, std::memory_order_release);
    sem_post(&finished_);
  }

  const WaveDirection direction_;
  const int buffer_bytes_;
  const int block_align_;
  std::vector<uint8_t> storage_;   // device_slots buffers of buffer_bytes_
  int lengths_[device_slots] = {};  // written before tail_ publishes the slot
  PaStream* stream_ = nullptr;
  bool active_ = false;             // worker side only
  int64_t started_ms_ = 0;          // when the stream last started; worker side only
  std::atomic<int64_t> last_callback_ms_{0};  // the latest callback's time, 0: none yet
  sem_t finished_;
  std::atomic<uint32_t> tail_{0};   // buffers queued; worker writes
  std::atomic<uint32_t> done_{0};   // buffers finished; callback writes (reset once stopped)
  uint32_t taken_ = 0;              // capture recordings handed over; worker only
  size_t offset_ = 0;               // bytes of the current buffer moved; callback only
  uint32_t copied_ = 0;             // playback buffers gone to the host; callback only
  bool callback_named_ = false;     // callback only
};

class PortAudioBackend final : public WaveBackend {
 public:
  std::unique_ptr<WaveDevice> open(WaveDirection direction, int device_id,
                                   const WaveFormat& format, int buffer_bytes) override {
    if (format.channels < 1 || format.sample_rate < 1 || format.bits_per_sample != 16 ||
        buffer_bytes < 1) {
      return nullptr;
    }
    if (!audio_system_start()) return nullptr;
    auto device = std::make_unique<PortAudioWaveDevice>(direction, format, buffer_bytes);
    {
      // One lock from the id to the open stream: a restart cannot come between.
      std::lock_guard<std::mutex> lock(portaudio_lock());
      const int index = portaudio_index_locked(device_id, direction == WaveDirection::playback);
      if (index != paNoDevice && device->open_locked(index, format)) return device;
    }
    // Only now, with the lock given back: the destructor takes it to close a stream
    // that opened but did not start.
    return nullptr;
  }

  std::vector<std::string> device_names(WaveDirection direction) override {
    if (direction == WaveDirection::playback) return wave_out_names();
    std::vector<std::string> names;
    const int count = wave_in_count();
    for (int id = 0; id < count; ++id) names.push_back(wave_in_name(id));
    return names;
  }

  std::string device_name(WaveDirection direction, int device_id) override {
    return direction == WaveDirection::playback ? wave_out_name(device_id) : wave_in_name(device_id);
  }

  void rescan() override {
    std::lock_guard<std::mutex> lock(portaudio_lock());
    portaudio_restart_locked(open_streams);
  }

  bool same_device(WaveDirection direction, int a, int b) override {
    if (a == b) return true;
    const auto index = direction == WaveDirection::playback ? wave_out_portaudio_index : wave_in_portaudio_index;
    const int first = index(a);
    return first != paNoDevice && first == index(b);
  }
};

}  // namespace

WaveBackend& system_wave_backend() {
  static PortAudioBackend backend;
  return backend;
}
