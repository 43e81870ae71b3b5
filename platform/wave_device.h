// A wave device: a sound device that takes (or fills) whole PCM buffers queued one
// behind the other, and gives one completion signal when it has opened and then one per
// finished buffer, buffers finishing in the order they were queued. A worker thread
// keeps two buffers queued and refills each one as its signal arrives, so the device's
// own clock paces the worker.
//
// Two back ends: PortAudio for real cards, and a virtual device whose clock a test
// drives (tests/support/virtual_wave_device.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

enum class WaveDirection { playback, capture };

// Interleaved linear PCM.
struct WaveFormat {
  int channels = 0;         // samples per frame
  int sample_rate = 0;      // frames per second
  int bits_per_sample = 16;
};

inline int wave_block_align(const WaveFormat& f) { return f.channels * f.bits_per_sample / 8; }

class WaveDevice {
 public:
  virtual ~WaveDevice() = default;  // closes the device; queued buffers are dropped

  // Waits up to timeout_ms for the next completion signal. True when a signal came,
  // false when the time ran out. Signals are counted, never merged: each finished
  // buffer wakes exactly one wait.
  virtual bool wait(int timeout_ms) = 0;

  // Queues one buffer of `length` bytes behind those already queued. Playback: the
  // device copies the bytes before returning, so `data` may be refilled at once; when
  // nothing is queued the device plays silence. Capture: `data` is not used; the device
  // records `length` bytes into a buffer of its own, handed over by take(). False when
  // refused (length out of range, or as many buffers queued as the device holds).
  virtual bool queue(const uint8_t* data, int length) = 0;

  // Capture: copies the oldest finished recording into `data` (up to `length` bytes)
  // and forgets it. False, with `data` untouched, when no recording has finished.
  virtual bool take(uint8_t* data, int length) = 0;

  // Capture: begins recording into the queued buffers. Playback devices play from open.
  virtual void start() = 0;

  // Every queued buffer comes back at once (each with its completion signal) and the
  // sound or the recording stops; a later queue() starts the device again.
  virtual void reset() = 0;

  // True once the device is gone for good: the card was removed or the sound server
  // ended, so nothing queued will ever come back. Asked after a wait that ran out; the
  // worker then closes the device and opens it again later.
  virtual bool failed() { return false; }
};

class WaveBackend {
 public:
  virtual ~WaveBackend() = default;

  // Opens wave device `device_id` of that direction (-1: the default device) for
  // buffers of at most `buffer_bytes`. Null when the device cannot be opened in this
  // format. A device that opens has given its first completion signal.
  virtual std::unique_ptr<WaveDevice> open(WaveDirection direction, int device_id,
                                           const WaveFormat& format, int buffer_bytes) = 0;

  // Whether two device ids of that direction name one device: equal ids, and on the
  // system's devices also the default (-1) and the id of the device it stands for now.
  virtual bool same_device(WaveDirection, int a, int b) { return a == b; }

  // The names of the devices of that direction, in id order (id 0 first), as they are
  // now, and the name of one id (-1: the default device); "" when there is none.
  virtual std::vector<std::string> device_names(WaveDirection) { return {}; }
  virtual std::string device_name(WaveDirection, int) { return ""; }

  // Reads the system's device list again when that is safe, so that a device whose
  // server or card came back is found under its name (its id may have changed).
  virtual void rescan() {}

  // The clock a worker waits on between attempts to open a lost device again, and the
  // wait itself; steady time for the system's devices, the test's clock otherwise.
  virtual int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  virtual void sleep_until(int64_t until_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(until_ms - now_ms()));
  }
};

// The system's own sound devices: PortAudio on Linux, winmm on Windows.
WaveBackend& system_wave_backend();
