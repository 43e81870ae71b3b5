#include "control/recorder.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/print_console.h"
#include "platform/files.h"
#include "platform/thread_name.h"

namespace {

// Bytes of one sample: a complex 16-bit pair, or a complex pair of bytes.
int32_t sample_bytes(bool raw) { return raw ? 2 : 4; }

int32_t sample_rate(const Variant& v, bool raw) { return raw ? v.sample_rate : v.frame_rate; }

// Replaces the metadata in one step: a temporary file, synced, renamed over it.
bool replace_meta(const std::string& base, const std::string& text) {
  const std::string temporary = base + ".sigmf-meta.tmp";
  OutputFile file;
  std::string reason;
  size_t written_bytes = 0;
  if (file_create(temporary, false, file, reason) != FileStatus::ok) return false;
  const bool written = file_write_all(file, text.data(), text.size(), written_bytes, reason) == FileStatus::ok && file_sync(file);
  file_close(file);
  return written && file_rename_replace(temporary, base + ".sigmf-meta", reason);
}

struct WriterJob {
  std::string base;
  std::string iso_start;
  bool raw = false;
  OutputFile data;
};

void writer_loop(Recorder& r, WriterJob job) {
  uint64_t bytes = 0;
  std::string failure;
  std::unique_lock<std::mutex> held(r.lock);
  for (;;) {
    r.wake.wait(held, [&r] { return r.count > 0 || r.closing || r.segments_changed; });
    if (r.segments_changed) {
      r.segments_changed = false;
      const std::vector<RecordSegment> segments = r.segments;
      held.unlock();
      replace_meta(job.base, sigmf_meta_text(r.variant, job.raw, job.iso_start, segments));
      held.lock();
      continue;
    }
    if (r.count == 0) break;  // closing, and all written
    const int32_t slot = r.head;
    const int32_t size = r.sizes[slot];
    held.unlock();
    std::string reason;
    size_t written = 0;
    const FileStatus status = file_write_all(job.data, r.pool.get() + static_cast<size_t>(slot) * record_block_max_bytes,
                                             static_cast<size_t>(size), written, reason);
    bytes += written;
    held.lock();
    r.head = (r.head + 1) % record_pool_blocks;
    --r.count;
    if (status != FileStatus::ok) {
      failure = reason;
      break;
    }
  }
  if (!failure.empty()) {
    // The rest is not written: the taps stop copying and the queue empties.
    r.on.store(false, std::memory_order_relaxed);
    r.closing = true;
    r.count = 0;
    r.head = 0;
  }
  const std::vector<RecordSegment> segments = r.segments;
  held.unlock();
  file_sync(job.data);
  file_close(job.data);
  replace_meta(job.base, sigmf_meta_text(r.variant, job.raw, job.iso_start, segments));
  if (!failure.empty()) {
    print_console(record_write_failed_format, (job.base + ".sigmf-data").c_str(), failure.c_str());
    r.failed.store(true, std::memory_order_relaxed);
  }
  const double seconds =
      static_cast<double>(bytes / static_cast<uint64_t>(sample_bytes(job.raw))) / sample_rate(r.variant, job.raw);
  print_console(record_stop_format, job.base.c_str(), seconds, static_cast<unsigned long long>(bytes));
}

bool running_locked(const Recorder& r) { return r.writer.joinable() && !r.failed.load(std::memory_order_relaxed); }

void stop_locked(Recorder& r) {
  if (!r.writer.joinable()) return;
  r.on.store(false, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> held(r.lock);
    r.closing = true;
    r.recording = false;
  }
  r.wake.notify_one();
  r.writer.join();
}

bool start_locked(Recorder& r, const RecordSettings& settings, uint32_t frequency) {
  if (running_locked(r)) return true;
  stop_locked(r);  // a recording that failed is ended and joined
  const UtcStamp stamp = utc_stamp_now();
  const std::string folder = settings.folder.empty() ? "." : settings.folder;
  const std::string first = folder + "/" + record_base_name(stamp.compact, frequency);
  OutputFile meta;
  OutputFile data;
  std::string base;
  std::string reason;
  // Nothing that exists is overwritten: a clash takes the next suffix.
  for (int k = 0;; ++k) {
    if (k > 999) {
      print_console(record_create_failed_format, (first + ".sigmf-data").c_str(), "every name is taken");
      return false;
    }
    base = k == 0 ? first : first + "-" + std::to_string(k);
    FileStatus status = file_create(base + ".sigmf-meta", true, meta, reason);
    if (status == FileStatus::exists) continue;
    if (status != FileStatus::ok) {
      print_console(record_create_failed_format, (base + ".sigmf-meta").c_str(), reason.c_str());
      return false;
    }
    status = file_create(base + ".sigmf-data", true, data, reason);
    if (status == FileStatus::ok) break;
    file_close(meta);
    file_remove(base + ".sigmf-meta");
    if (status != FileStatus::exists) {
      print_console(record_create_failed_format, (base + ".sigmf-data").c_str(), reason.c_str());
      return false;
    }
  }
  const std::vector<RecordSegment> segments{{0, frequency}};
  const std::string text = sigmf_meta_text(r.variant, settings.raw, stamp.iso, segments);
  size_t written = 0;
  const bool meta_written =
      file_write_all(meta, text.data(), text.size(), written, reason) == FileStatus::ok && file_sync(meta);
  file_close(meta);
  if (!meta_written) {
    file_close(data);
    file_remove(base + ".sigmf-data");
    file_remove(base + ".sigmf-meta");
    print_console(record_write_failed_format, (base + ".sigmf-meta").c_str(), reason.c_str());
    return false;
  }
  if (!r.pool) r.pool.reset(new uint8_t[static_cast<size_t>(record_pool_blocks) * record_block_max_bytes]);
  {
    std::lock_guard<std::mutex> held(r.lock);
    r.head = 0;
    r.count = 0;
    r.closing = false;
    r.recording = true;
    r.raw_stream = settings.raw;
    r.samples_accepted = 0;
    r.segments = segments;
    r.segments.reserve(256);  // retunes add segments without allocating on the tuner thread
    r.segments_changed = false;
    r.pending_held = 0;
    r.pending_count.store(0, std::memory_order_relaxed);
  }
  r.failed.store(false, std::memory_order_relaxed);
  r.base_path = base;
  print_console(record_start_format, settings.raw ? "the dongle's stream" : "the baseband", base.c_str(),
                settings.raw ? "cu8" : "ci16_le");
  WriterJob job{base, stamp.iso, settings.raw, data};
  r.writer = std::thread([&r, job] {
    name_current_thread("record");
    writer_loop(r, job);
  });
  r.on.store(true, std::memory_order_relaxed);
  return true;
}

}  // namespace

Recorder::Recorder(const Variant& v) : variant(v) {}

Recorder::~Recorder() { recorder_stop(*this); }

UtcStamp utc_stamp_now() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  const int y = static_cast<int>(date.year());
  const unsigned mo = static_cast<unsigned>(date.month());
  const unsigned d = static_cast<unsigned>(date.day());
  const int h = static_cast<int>(time.hours().count());
  const int mi = static_cast<int>(time.minutes().count());
  const int s = static_cast<int>(time.seconds().count());
  char compact[32];
  char iso[32];
  std::snprintf(compact, sizeof compact, "%04d%02u%02uT%02d%02d%02dZ", y, mo, d, h, mi, s);
  std::snprintf(iso, sizeof iso, "%04d-%02u-%02uT%02d:%02d:%02dZ", y, mo, d, h, mi, s);
  return UtcStamp{compact, iso};
}

std::string record_base_name(const std::string& compact_time, uint32_t frequency) {
  return "rxiq-" + compact_time + "-" + std::to_string(frequency);
}

std::string sigmf_meta_text(const Variant& v, bool raw, const std::string& iso_start,
                            const std::vector<RecordSegment>& segments) {
  char global[640];
  std::snprintf(global, sizeof global,
                "{\n"
                "  \"global\": {\n"
                "    \"core:datatype\": \"%s\",\n"
                "    \"core:sample_rate\": %d,\n"
                "    \"core:version\": \"%s\",\n"
                "    \"core:recorder\": \"%s %s\",\n"
                "    \"core:description\": \"%s %s\"\n"
                "  },\n"
                "  \"captures\": [",
                raw ? "cu8" : "ci16_le", static_cast<int>(sample_rate(v, raw)), sigmf_version, v.program_name,
                rxiq_version, v.program_name,
                raw ? "raw dongle stream, unsigned 8-bit I/Q" : "baseband, 16-bit I/Q (I left, Q right)");
  std::string text = global;
  for (size_t k = 0; k < segments.size(); ++k) {
    text += k == 0 ? "\n" : ",\n";
    text += "    {\"core:sample_start\": " + std::to_string(segments[k].start) +
            ", \"core:frequency\": " + std::to_string(segments[k].frequency);
    if (k == 0) text += ", \"core:datetime\": \"" + iso_start + "\"";
    text += "}";
  }
  text += "\n  ],\n  \"annotations\": []\n}\n";
  return text;
}

bool recorder_start(Recorder& r, const RecordSettings& settings, uint32_t frequency) {
  std::lock_guard<std::mutex> control(r.control);
  return start_locked(r, settings, frequency);
}

void recorder_stop(Recorder& r) {
  std::lock_guard<std::mutex> control(r.control);
  stop_locked(r);
}

bool recorder_running(Recorder& r) {
  std::lock_guard<std::mutex> control(r.control);
  return running_locked(r);
}

void recorder_toggle(Recorder& r, const RecordSettings& settings, uint32_t frequency) {
  std::lock_guard<std::mutex> control(r.control);
  if (running_locked(r)) {
    stop_locked(r);
  } else {
    start_locked(r, settings, frequency);
  }
}

void recorder_block(Recorder& r, bool raw, const void* data, int32_t bytes) {
  if (!r.on.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> held(r.lock);
    if (!r.recording || r.closing || r.raw_stream != raw || bytes <= 0 || bytes > record_block_max_bytes) return;
    if (r.count == record_pool_blocks) {
      r.dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const int32_t slot = (r.head + r.count) % record_pool_blocks;
    std::memcpy(r.pool.get() + static_cast<size_t>(slot) * record_block_max_bytes, data, static_cast<size_t>(bytes));
    r.sizes[slot] = bytes;
    ++r.count;
    r.samples_accepted += static_cast<uint64_t>(bytes / sample_bytes(raw));
  }
  r.wake.notify_one();
}

void recorder_retune(Recorder& r, uint64_t first_store, uint32_t frequency) {
  if (!r.on.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> held(r.lock);
    if (!r.recording || r.closing) return;
    // A retune to the frequency the recording stands at already (one asked for just
    // before the start) begins no segment.
    const uint32_t standing = r.pending_held > 0 ? r.pending[r.pending_held - 1].frequency : r.segments.back().frequency;
    if (frequency == standing) return;
    if (!r.raw_stream) {
      if (r.pending_held < record_pending_retunes) r.pending[r.pending_held++] = RecordSegment{first_store, frequency};
      r.pending_count.store(r.pending_held, std::memory_order_relaxed);
      return;
    }
    r.segments.push_back(RecordSegment{r.samples_accepted, frequency});
    r.segments_changed = true;
  }
  r.wake.notify_one();
}

void recorder_slot_start(Recorder& r, uint64_t store, int32_t frames_collected) {
  if (!r.on.load(std::memory_order_relaxed) || r.pending_count.load(std::memory_order_relaxed) == 0) return;
  bool placed = false;
  {
    std::lock_guard<std::mutex> held(r.lock);
    if (!r.recording || r.closing || r.raw_stream) return;
    int32_t kept = 0;
    for (int32_t k = 0; k < r.pending_held; ++k) {
      if (r.pending[k].start <= store) {
        r.segments.push_back(RecordSegment{r.samples_accepted + static_cast<uint64_t>(frames_collected),
                                           r.pending[k].frequency});
        placed = true;
      } else {
        r.pending[kept++] = r.pending[k];
      }
    }
    r.pending_held = kept;
    r.pending_count.store(kept, std::memory_order_relaxed);
    if (placed) r.segments_changed = true;
  }
  if (placed) r.wake.notify_one();
}
