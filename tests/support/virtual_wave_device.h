// A wave back end without a sound card, for tests. Its clock stands still until the test
// moves it: finish_buffer() completes the oldest queued buffer of a device (recording
// what it played, or filling it from the bytes given to feed()), and advance() lets
// time pass without any buffer finishing, so that waits run out. A worker's wait on a
// virtual device ends only on a signal or when the virtual clock passes its limit.
//
// settle() is how a test waits for the worker instead of sleeping: it returns once every
// open device's worker is blocked in wait() with no signal left for it, or the device
// has been closed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave_device.h"

// What one opened device saw; kept by the back end after the device is closed.
struct VirtualWaveRecord {
  WaveDirection direction = WaveDirection::playback;
  int device_id = 0;
  WaveFormat format;
  int buffer_bytes = 0;
  std::vector<uint8_t> played;        // playback: the bytes of every finished buffer
  std::deque<std::vector<uint8_t>> queued;    // buffers waiting, oldest first
  std::deque<std::vector<uint8_t>> recorded;  // capture: finished, not yet taken
  int pending = 0;          // completion signals not yet taken by a wait
  bool waiting = false;     // the worker is blocked in wait()
  int64_t wait_until_us = 0;
  bool started = false;     // capture: start() was called
  int resets = 0;
  int most_queued = 0;      // the largest number of buffers queued at once
  bool closed = false;
};

class VirtualWaveBackend final : public WaveBackend {
 public:
  // Device ids -1 (the default) to device_count - 1 open; others fail.
  explicit VirtualWaveBackend(int device_count = 1) : device_count_(device_count) {}

  std::unique_ptr<WaveDevice> open(WaveDirection direction, int device_id,
                                   const WaveFormat& format, int buffer_bytes) override;

  // Test side. `device` is the index in opening order (0 for the first device opened).
  // Each returns false if the device does not exist or nothing could be done.

  // Completes the oldest queued buffer of `device`, moves the clock on by its playing
  // time and gives its signal.
  bool finish_buffer(int device);
  // Moves the clock on; waits whose limit has passed end without a signal.
  void advance(int64_t microseconds);
  // Bytes that capture devices deliver, in order; zeros once they run out.
  void feed(const std::vector<uint8_t>& bytes);
  // Waits (in real time, at most `limit_ms`) until every open device's worker is idle
  // in wait() or its device is closed. False if that did not happen in time.
  bool settle(int limit_ms = 10000);
  // finish_buffer then settle.
  bool step(int device = 0);

  // When set, playback devices hand each finished buffer here instead of keeping it in
  // `played`, so that a test can play for simulated hours without holding every byte.
  // Called with the back end's lock held: it must not call back into the back end.
  std::function<void(int device, const std::vector<uint8_t>& buffer)> on_played;

  int opened() const;
  int64_t now_us() const;
  // A copy of what device `device` has seen so far.
  VirtualWaveRecord record(int device) const;

 private:
  friend class VirtualWaveDevice;
  bool idle_locked() const;

  const int device_count_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<VirtualWaveRecord>> records_;
  std::deque<uint8_t> feed_;
  int64_t now_us_ = 0;
};
