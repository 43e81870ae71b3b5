// tuner_thread: the one thread that talks to the dongle. Finds, opens and configures the
// dongle, then reads 65,536-byte blocks into the SampleRing and applies the frequency,
// tuner gain mode, gain and AGC changes the keys have requested, one pass per read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/rx_state.h"
#include "platform/wake_event.h"
#include "tuner/dongle.h"
#include "sample_ring/sample_ring.h"
#include "variants/variant.h"

// Each read fills exactly one ring slot.
inline constexpr int32_t read_block_bytes = ring_slot_bytes;
inline constexpr int32_t discarded_read_bytes = 4096;  // first read after a buffer reset

// Failed reads in a row after which the dongle is taken as gone even without the
// no-device result: a dongle that cannot deliver anything for this long is of no use,
// and going on would only repeat the failure.
inline constexpr int32_t gone_after_failed_reads = 100;

// The tuner thread's end, awaited by shutdown: the dongle is closed once it is set, so
// that a process ending after it leaves the dongle powered down and its kernel driver
// attached again.
struct TunerEnd {
  std::atomic<uint8_t> done{0};
  std::mutex lock;
  std::condition_variable signal;
};

// Waits at most `limit` for the tuner thread to end; true when it has.
bool tuner_end_wait(TunerEnd& end, std::chrono::milliseconds limit);

// How often a gone dongle is looked for: a USB dongle every 2 s; an rtl_tcp server
// after 1 s, then twice as long each time up to 30 s, so that a server that is down for
// long is not hammered.
struct RetryDelays {
  std::chrono::milliseconds usb{2000};
  std::chrono::milliseconds network_first{1000};
  std::chrono::milliseconds network_longest{30000};
};

struct TunerLinks {
  RxState& state;
  const Variant& variant;
  DongleApi& dongle;
  SampleRing& ring;
  WakeEvent* ring_stored = nullptr;  // set when a store reaches the reader's wake-up, and once the reading stops
  // The recording's taps (null: none): each block just stored, and each applied retune
  // with the number of the first store at the new frequency.
  void (*stored)(void* context, const uint8_t* block, int32_t bytes) = nullptr;
  void (*retuned)(void* context, uint64_t first_store, uint32_t frequency) = nullptr;
  void* tap_context = nullptr;
  TunerEnd* end = nullptr;  // set when the thread returns, the dongle closed
  DongleOptions options{};   // what the session's options ask of the hardware
  RetryDelays retry{};       // tests shorten them
};

// The thread body. Returns 0 when the read loop ends (running cleared, or the dongle
// gone) or when start-up fails. Either way it sets stream_stop, which ends the reader.
int tuner_thread(TunerLinks links);

// Message texts.
inline constexpr const char* no_devices_text = "No supported devices found\n";
inline constexpr const char* dongle_gone_text = "\nDongle gone (unplugged?): reading stopped.\n";
inline constexpr const char* dongle_back_format = "Dongle back: reading again at %u Hz\n";
inline constexpr const char* serial_not_found_format = "No dongle with serial number %s\n";
inline constexpr const char* bias_tee_on_text = "Bias tee on: the antenna input is powered\n";
inline constexpr const char* bias_tee_failed_text = "Failed to switch the bias tee on\n";
inline constexpr const char* direct_sampling_format = "Direct sampling from the %c input\n";
inline constexpr const char* direct_sampling_failed_text = "Failed to set direct sampling\n";
inline constexpr const char* offset_tuning_on_text = "Offset tuning on\n";
inline constexpr const char* offset_tuning_refused_text = "Offset tuning: this tuner has no use for it (R820T, R828D)\n";
inline constexpr const char* offset_tuning_failed_text = "Failed to set offset tuning\n";
