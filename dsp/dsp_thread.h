// dsp_thread: drains the SampleRing, converts bytes to complex floats, takes spectrum
// snapshots, runs the channel filter, scales blocks of filter outputs to 16-bit PCM with
// the level control (Usilitel) and hands each packed block to a sink.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/rx_state.h"
#include "dsp/block_sink.h"
#include "dsp/fir_block.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "dsp/listen_channel.h"
#include "platform/wake_event.h"
#include "sample_ring/sample_ring.h"

inline constexpr int block_frames = 5120;                  // stereo frames per PCM block
inline constexpr int block_bytes = block_frames * 2 * 2;   // 20,480
inline constexpr int spectrum_skip_samples = 50000;        // input samples skipped after a transform
inline constexpr int max_pcm = 32767;                      // -32,768 is never produced
inline constexpr float initial_delitel = 128.0f;
inline constexpr float initial_usilitel = 430000.0f;
inline constexpr int dsp_idle_ms = 10;
inline constexpr float no_level_dbfs = -999.0f;  // no block yet, or a silent one
// With a wake-up from the tuner, the wait for the stores that complete a block: they or
// a stop end it, so this limit is only a backstop for a writer that has stopped storing,
// longer than the slowest block (107 ms of samples in rxiq12) so that an idle thread
// wakes no more often than blocks arrive.
inline constexpr int dsp_store_wait_ms = 250;
// The most stores one wake-up waits for: a block needs about four, and the writer must
// stay far from lapping the reader.
inline constexpr int dsp_max_stores_per_wake = 8;


// The DSP thread's own state; only the DSP thread touches it, except the atomics below
// that others read (its progress, its losses and the block level).
struct DspState {
  float Delitel = initial_delitel;    // divisor of the byte conversion; never changes
  float Usilitel = initial_usilitel;  // output gain; falls to avoid clipping, recovers 1 per block
  float sample_table[256] = {};       // value of each sample byte
  // Set when every table entry equals float(v - 127) * table_scale, so that whole runs of
  // bytes can be converted with vector arithmetic instead of lookups, to the same bits.
  bool table_linear = false;
  float table_scale = 0.0f;
  float out_i[block_frames] = {};     // filter outputs of the block being collected
  float out_q[block_frames] = {};
  int32_t out_count = 0;
  int16_t pcm_block[block_frames * 2] = {};  // I of frame k at 2k, Q at 2k+1
  float capture_re[spectrum_size] = {};      // spectrum snapshot, transformed in place
  float capture_im[spectrum_size] = {};
  int32_t spectrum_pos = 0;   // next snapshot index while capturing
  int32_t spectrum_skip = 0;  // 0 while capturing; 1..50,000 while skipping
  uint8_t slot_bytes[ring_slot_bytes] = {};  // raw bytes of the slot being processed
  float slot_samples[ring_slot_bytes] = {};  // converted I/Q pairs of the slot being processed
  FirBlockWork fir_work;           // scratch of the block filter
  // Written by the DSP thread only; atomics so that others may watch its progress.
  std::atomic<uint64_t> next_store{0};  // number of the ring store the reader expects next
  std::atomic<uint64_t> overruns{0};    // blocks lost to a lapping writer (never read, or torn)
  // The last block's mean power before the level control, in dB relative to a full-scale
  // complex tone (a byte swing of 128); no_level before the first block.
  std::atomic<float> level_dbfs{no_level_dbfs};
  ListenChannel listen;  // the demodulated channel, when one is asked for
};

// Everything the signal chain writes to, without the ring: shared by the thread and by
// the rxiq-dsp tool so both run the same code.
struct DspChain {
  const RxState& state;
  FirFilter& filter;
  DspState& dsp;
  SpectrumBuffer& spectrum;
  BlockSink sink;
  BlockSink listen_sink{};  // the listening channel's audio (slot 1); none: not produced
};

struct DspLinks {
  RxState& state;
  SampleRing& ring;
  FirFilter& filter;
  DspState& dsp;
  SpectrumBuffer& spectrum;
  BlockSink sink;
  // Called when the ring is empty; null sleeps 10 ms. Tests drive the thread through it.
  void (*idle)(void* context) = nullptr;
  void* idle_context = nullptr;
  // Set by the tuner thread once its stores reach the reader's wake-up (ring_wake_at)
  // and on a stop; when given (and no idle hook), the empty ring waits for it instead of
  // sleeping.
  WakeEvent* ring_stored = nullptr;
  int store_wait_ms = dsp_store_wait_ms;
  BlockSink listen_sink{};  // the listening channel's audio; none: not produced
  // Called before each slot is processed with its store number and the frames of the
  // next PCM block already collected, so that a recording can place a retune on the
  // frame where the new frequency's first sample lands. Null: not called.
  void (*slot_start)(void* context, uint64_t store, int32_t frames_collected) = nullptr;
  void* slot_context = nullptr;
};

// The thread body; the receiver runs it on a std::thread. Ends when running is
// cleared or stream_stop is set, then sets stream_stop to 10 and returns 0.
int dsp_thread(DspLinks links);

// Fills sample_table from Delitel: entry v is (v - 127) / Delitel.
void dsp_build_table(DspState& dsp);

// Converts count raw bytes into floats, each exactly its sample_table entry.
void dsp_convert_bytes(const DspState& dsp, const uint8_t* bytes, int32_t count, float* out);

// Processes `pairs` converted complex samples (I, Q interleaved): spectrum tap, filter,
// and a block to the sink at every 5,120 outputs. Works in runs that end where a block
// completes; tests `running` before each run and stops at the first clear one. Returns
// the number of samples processed.
int32_t dsp_process_samples(const DspChain& chain, const float* iq, int32_t pairs);

// Converts raw unsigned bytes (I, Q, I, Q, ...) through sample_table and processes them;
// an odd trailing byte is ignored. Returns the number of samples processed.
int32_t dsp_process_bytes(const DspChain& chain, const uint8_t* bytes, int32_t count);

// Reader side of the ring for one slot, `ring_read`: converts it, counts lost blocks,
// processes it unless torn. Does not advance ring_read.
void dsp_consume_slot(const DspLinks& links);

// Level control and packing of the collected block into pcm_block; updates Usilitel as
// it stands before the recovery step. Settles each frame's gain directly rather than by
// single steps, with the same bits as stepping.
void dsp_scale_block(DspState& dsp);

// Produces one block: scale, hand to the sink, then recover the gain by one unit.
void dsp_produce_block(const DspChain& chain);

// The mean power of the collected block in dB relative to full scale (no_level_dbfs for
// silence).
float dsp_block_level_dbfs(const DspState& dsp);
