// Recordings in the SigMF format: a .sigmf-data file of the samples and a .sigmf-meta
// file (JSON) that describes them. The real-time threads only copy blocks into a
// preallocated pool; a writer thread puts them on disk. A full pool drops whole blocks
// and counts them. The metadata is written at the start, rewritten (a temporary file
// renamed over it) at each capture segment and at the close, so that a killed process
// still leaves a readable recording of what reached the disk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "variants/variant.h"

inline constexpr int record_pool_blocks = 64;           // about 1.7 s of raw stream at 2.4 MS/s
inline constexpr int record_block_max_bytes = 65536;    // the largest block: one raw dongle read
inline constexpr int record_pending_retunes = 16;       // baseband retunes not yet reached by the DSP
inline constexpr const char* sigmf_version = "1.0.0";

// One capture segment: from sample `start` on, the tuner stood at `frequency`.
struct RecordSegment {
  uint64_t start = 0;
  uint32_t frequency = 0;
};

// What a recording holds.
struct RecordSettings {
  std::string folder = ".";  // where the files go
  bool raw = false;          // the dongle's bytes (cu8) instead of the baseband (ci16_le)
};

struct Recorder {
  explicit Recorder(const Variant& v);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  const Variant& variant;
  // Read by the taps with one relaxed load: when clear, no block is copied.
  std::atomic<bool> on{false};
  std::atomic<uint64_t> dropped{0};  // blocks the full pool refused, since start-up
  // Nonzero while retunes wait for the DSP thread to reach their store (baseband).
  std::atomic<int32_t> pending_count{0};
  // Set by the writer thread when it has ended the recording itself (a write failed).
  std::atomic<bool> failed{false};

  // The queue and what the producers and the writer share, under `lock`.
  std::mutex lock;
  std::condition_variable wake;
  std::unique_ptr<uint8_t[]> pool;
  int32_t sizes[record_pool_blocks] = {};
  int32_t head = 0;   // oldest queued block
  int32_t count = 0;  // queued blocks, the one being written included
  bool closing = false;
  bool recording = false;   // blocks are taken
  bool raw_stream = false;  // which stream: the dongle's bytes, or the baseband
  uint64_t samples_accepted = 0;  // samples in the recorded stream so far
  std::vector<RecordSegment> segments;
  bool segments_changed = false;
  RecordSegment pending[record_pending_retunes] = {};  // start: the first store at the new frequency
  int32_t pending_held = 0;

  // The control side: start and stop come from the key loop and the control port.
  std::mutex control;
  std::thread writer;
  std::string base_path;  // without the extension
};

// The UTC time as the file names carry it (20261208T153012Z) and as ISO 8601
// (2026-12-08T15:30:12Z).
struct UtcStamp {
  std::string compact;
  std::string iso;
};
UtcStamp utc_stamp_now();

// The file name, without folder or extension: rxiq-20261208T153012Z-145725000.
std::string record_base_name(const std::string& compact_time, uint32_t frequency);

// The metadata's JSON text.
std::string sigmf_meta_text(const Variant& variant, bool raw, const std::string& iso_start,
                            const std::vector<RecordSegment>& segments);

// Starts a recording at `frequency` unless one runs; says where it goes, or why it
// cannot. True when it runs.
bool recorder_start(Recorder& recorder, const RecordSettings& settings, uint32_t frequency);

// Stops the recording (the queued blocks are written first) and says how long it is.
// Safe when none runs.
void recorder_stop(Recorder& recorder);

// Whether a recording runs (a failed one has ended).
bool recorder_running(Recorder& recorder);

// Key R and the control port: stops a running recording, otherwise starts one.
void recorder_toggle(Recorder& recorder, const RecordSettings& settings, uint32_t frequency);

// The taps, on the real-time threads. A block of `bytes` bytes of the stream being
// recorded (raw: true for the dongle's bytes); ignored when the other stream is recorded.
void recorder_block(Recorder& recorder, bool raw, const void* data, int32_t bytes);

// The tuner thread, at each applied retune: `first_store` is the number of the first ring
// store at the new frequency. In a raw recording that store is the next block, so the
// segment starts at the samples recorded so far; in a baseband one the DSP thread places
// it (recorder_slot_start).
void recorder_retune(Recorder& recorder, uint64_t first_store, uint32_t frequency);

// The DSP thread, before it processes ring store `store` with `frames_collected` frames
// of the next block already made: retunes that took effect at or before this store start
// their segment at the frame this store's first sample goes into.
void recorder_slot_start(Recorder& recorder, uint64_t store, int32_t frames_collected);

// Messages.
inline constexpr const char* record_start_format = "Recording %s to %s.sigmf-data (%s)\n";
inline constexpr const char* record_stop_format = "Recording stopped: %s.sigmf-data, %.1f s, %llu bytes\n";
inline constexpr const char* record_create_failed_format = "Recording not started: cannot create %s: %s\n";
inline constexpr const char* record_write_failed_format = "Recording stopped: cannot write %s: %s\n";
