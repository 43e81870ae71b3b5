#include "tests/support/virtual_wave_device.h"

#include <algorithm>
#include <chrono>

class VirtualWaveDevice final : public WaveDevice {
 public:
  VirtualWaveDevice(VirtualWaveBackend& backend, std::shared_ptr<VirtualWaveRecord> record)
      : backend_(backend), r_(std::move(record)) {}

  ~VirtualWaveDevice() override {
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    r_->queued.clear();
    r_->closed = true;
    // Its worker goes on to open it again: busy until it sleeps or opens.
    if (r_->failed) ++backend_.waking_;
    backend_.changed_.notify_all();
  }

  bool wait(int timeout_ms) override {
    std::unique_lock<std::mutex> lock(backend_.mutex_);
    r_->wait_until_us = backend_.now_us_ + static_cast<int64_t>(timeout_ms) * 1000;
    r_->waiting = true;
    backend_.changed_.notify_all();
    backend_.changed_.wait(lock, [&] {
      return r_->pending > 0 || backend_.now_us_ >= r_->wait_until_us || r_->failed;
    });
    r_->waiting = false;
    backend_.changed_.notify_all();
    if (r_->pending == 0) return false;
    --r_->pending;
    return true;
  }

  bool queue(const uint8_t* data, int length) override {
    if (length <= 0 || length > r_->buffer_bytes) return false;
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    if (r_->direction == WaveDirection::playback) {
      if (!data) return false;
      r_->queued.emplace_back(data, data + length);
    } else {
      r_->queued.emplace_back(static_cast<size_t>(length), uint8_t{0});
    }
    r_->most_queued = std::max(r_->most_queued, static_cast<int>(r_->queued.size()));
    backend_.changed_.notify_all();
    return true;
  }

  bool take(uint8_t* data, int length) override {
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    if (r_->recorded.empty()) return false;
    const std::vector<uint8_t>& b = r_->recorded.front();
    std::copy_n(b.begin(), std::min(static_cast<size_t>(std::max(length, 0)), b.size()), data);
    r_->recorded.pop_front();
    return true;
  }

  bool failed() override {
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    return r_->failed;
  }

  void start() override {
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    r_->started = true;
  }

  void reset() override {
    std::lock_guard<std::mutex> lock(backend_.mutex_);
    ++r_->resets;
    // Queued buffers come back unplayed (or empty, for capture), each with its signal.
    for (auto& b : r_->queued) {
      if (r_->direction == WaveDirection::capture) r_->recorded.push_back(std::move(b));
      ++r_->pending;
    }
    r_->queued.clear();
    r_->started = false;
    backend_.changed_.notify_all();
  }

 private:
  VirtualWaveBackend& backend_;
  std::shared_ptr<VirtualWaveRecord> r_;
};

std::unique_ptr<WaveDevice> VirtualWaveBackend::open(WaveDirection direction, int device_id,
                                                     const WaveFormat& format,
                                                     int buffer_bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_calls_;
    if (gone_ || device_id < -1 || device_id >= device_count_) return nullptr;
  }
  if (format.channels < 1 || format.sample_rate < 1 || format.bits_per_sample != 16 ||
      buffer_bytes < 1) {
    return nullptr;
  }
  auto record = std::make_shared<VirtualWaveRecord>();
  record->direction = direction;
  record->device_id = device_id;
  record->format = format;
  record->buffer_bytes = buffer_bytes;
  record->pending = 1;  // the signal for the open
  std::lock_guard<std::mutex> lock(mutex_);
  if (waking_ > 0) --waking_;  // a worker that opened again now waits on the device
  records_.push_back(record);
  changed_.notify_all();
  return std::make_unique<VirtualWaveDevice>(*this, std::move(record));
}

bool VirtualWaveBackend::finish_buffer(int device) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device < 0 || device >= static_cast<int>(records_.size())) return false;
  VirtualWaveRecord& r = *records_[static_cast<size_t>(device)];
  if (r.closed || r.queued.empty()) return false;
  if (r.direction == WaveDirection::capture && !r.started) return false;
  std::vector<uint8_t> b = std::move(r.queued.front());
  r.queued.pop_front();
  if (r.direction == WaveDirection::playback) {
    if (on_played) {
      on_played(device, b);
    } else {
      r.played.insert(r.played.end(), b.begin(), b.end());
    }
  } else {
    for (auto& byte : b) {
      if (feed_.empty()) break;
      byte = feed_.front();
      feed_.pop_front();
    }
    r.recorded.push_back(std::move(b));
  }
  int64_t bytes_per_second =
      static_cast<int64_t>(r.format.sample_rate) * wave_block_align(r.format);
  if (bytes_per_second > 0) {
    now_us_ += static_cast<int64_t>(r.buffer_bytes) * 1000000 / bytes_per_second;
  }
  ++r.pending;
  changed_.notify_all();
  return true;
}

void VirtualWaveBackend::advance(int64_t microseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_us_ += microseconds;
  changed_.notify_all();
}

void VirtualWaveBackend::feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  feed_.insert(feed_.end(), bytes.begin(), bytes.end());
}

bool VirtualWaveBackend::idle_locked() const {
  if (waking_ > 0) return false;
  for (const int64_t until : sleepers_) {
    if (now_us_ >= until) return false;
  }
  for (const auto& r : records_) {
    if (r->closed) continue;
    if (r->failed) return false;  // its worker has yet to notice
    if (!r->waiting || r->pending > 0 || now_us_ >= r->wait_until_us) return false;
  }
  return true;
}

std::vector<std::string> VirtualWaveBackend::device_names(WaveDirection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!names_.empty()) return names_;
  std::vector<std::string> names;
  for (int id = 0; id < device_count_; ++id) names.push_back("Virtual " + std::to_string(id));
  return names;
}

std::string VirtualWaveBackend::device_name(WaveDirection direction, int device_id) {
  if (device_id == -1) return "Virtual default";
  const std::vector<std::string> names = device_names(direction);
  return device_id >= 0 && device_id < static_cast<int>(names.size())
             ? names[static_cast<size_t>(device_id)]
             : "";
}

void VirtualWaveBackend::rescan() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++rescans_;
}

int64_t VirtualWaveBackend::now_ms() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_us_ / 1000;
}

void VirtualWaveBackend::sleep_until(int64_t until_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const int64_t until = until_ms * 1000;
  if (waking_ > 0) --waking_;
  sleepers_.push_back(until);
  changed_.notify_all();
  changed_.wait(lock, [&] { return now_us_ >= until; });
  sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), until));
  ++waking_;  // busy until its next sleep or open
  changed_.notify_all();
}

void VirtualWaveBackend::lose() {
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = true;
  for (auto& r : records_) {
    if (!r->closed) r->failed = true;
  }
  changed_.notify_all();
}

void VirtualWaveBackend::restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = false;
  changed_.notify_all();
}

void VirtualWaveBackend::set_names(std::vector<std::string> names) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_ = std::move(names);
  device_count_ = static_cast<int>(names_.size());
}

int VirtualWaveBackend::open_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_calls_;
}

int VirtualWaveBackend::rescans() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rescans_;
}

bool VirtualWaveBackend::settle(int limit_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms),
                           [&] { return idle_locked(); });
}

bool VirtualWaveBackend::step(int device) { return finish_buffer(device) && settle(); }

int VirtualWaveBackend::opened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(records_.size());
}

int64_t VirtualWaveBackend::now_us() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_us_;
}

VirtualWaveRecord VirtualWaveBackend::record(int device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device < 0 || device >= static_cast<int>(records_.size())) return {};
  return *records_[static_cast<size_t>(device)];
}
