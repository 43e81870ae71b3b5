// A wave back end without a sound card, for tests. Its clock stands still until the test
// moves it: finish_buffer() completes the oldest queued buffer of a device (recording
// what it played, or filling it from the bytes given to feed()), and advance() lets
// time pass without any buffer finishing, so that waits run out. A worker's wait on a
// virtual device ends only on a signal or when the virtual clock passes its limit.
//
// settle() is how a test waits for the worker instead of sleeping: it returns once every
// open device's worker is blocked in wait() with no signal left for it, or the device
// has been closed, and every worker that sleeps on the back end's clock (between
// attempts to open a lost device again) is asleep.
//
// lose() makes the open devices fail as a sound server's do when it ends, and keeps
// every open refused until restore(); the device names can change meanwhile, as a
// restarted server may number its devices differently.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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
  bool failed = false;      // lost with the rest by lose()
};

class VirtualWaveBackend final : public WaveBackend {
 public:
  // Device ids -1 (the default) to device_count - 1 open; others fail.
  explicit VirtualWaveBackend(int device_count = 1) : device_count_(device_count) {}

  std::unique_ptr<WaveDevice> open(WaveDirection direction, int device_id,
                                   const WaveFormat& format, int buffer_bytes) override;
  // "Virtual N" for ids 0 to device_count - 1 unless set_names() gave others; id -1 is
  // "Virtual default".
  std::vector<std::string> device_names(WaveDirection) override;
  std::string device_name(WaveDirection, int device_id) override;
  void rescan() override;
  int64_t now_ms() override;
  void sleep_until(int64_t until_ms) override;

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
  // Every open device fails (its waits end at once, failed() holds) and opens are
  // refused until restore().
  void lose();
  void restore();
  // The device names from now on; also sets how many devices open.
  void set_names(std::vector<std::string> names);
  // Calls of open() and rescan() so far.
  int open_calls() const;
  int rescans() const;

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

  int device_count_;
  std::vector<std::string> names_;
  bool gone_ = false;
  int open_calls_ = 0;
  int rescans_ = 0;
  // Workers between a lost device and their next sleep or open: busy, not idle.
  int waking_ = 0;
  std::vector<int64_t> sleepers_;  // the limits of the sleeps under way, in microseconds
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<VirtualWaveRecord>> records_;
  std::deque<uint8_t> feed_;
  int64_t now_us_ = 0;
};
