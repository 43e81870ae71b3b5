// The listening channel: one station taken out of the receiver's band and demodulated
// to audio, for a person or a decoder. Narrow FM, AM, USB and LSB come from the
// baseband (the channel filter's outputs before the level control); wide FM comes from
// the dongle's own stream, since a broadcast station is wider than the baseband.
//
// Every mode runs the same way: shift the station to 0 Hz, decimate to the mode's
// channel rate, filter, demodulate, level, squelch, and interpolate back to the audio
// rate, so that the audio comes out at the baseband's frame rate, one sample per
// baseband output. All storage is fixed; nothing is allocated per block.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/listen_mode.h"
#include "core/rx_state.h"
#include "dsp/block_sink.h"

inline constexpr int listen_block_frames = 5120;  // frames per block, as the baseband's
inline constexpr int listen_max_taps = 1024;      // longest filter of any stage


// A decimating (or plain) FIR stage on complex samples with real taps; the history is a
// linear buffer compacted when full.
struct ComplexStage {
  int32_t taps = 0;        // 0: the stage passes samples through
  int32_t decimation = 1;
  int32_t phase = 0;
  int32_t fill = 0;        // samples in the history
  float coef[listen_max_taps] = {};
  float hist[2 * 2 * listen_max_taps] = {};  // interleaved I, Q
};

// An interpolating FIR stage on real samples: each input gives `factor` outputs.
struct InterpolatorStage {
  int32_t factor = 1;
  int32_t taps_per_phase = 0;
  float coef[listen_max_taps] = {};  // phase p's taps at p, p + factor, ...
  float hist[2 * listen_max_taps] = {};
  int32_t fill = 0;
};

// A real decimating FIR stage (wide FM's audio).
struct RealDecimator {
  int32_t taps = 0;
  int32_t decimation = 1;
  int32_t phase = 0;
  int32_t fill = 0;
  float coef[listen_max_taps] = {};
  float hist[2 * listen_max_taps] = {};
};

struct ListenChannel {
  // Rates, from the variant: the dongle's samples and the baseband's (= audio) frames.
  int32_t sample_rate = 0;
  int32_t frame_rate = 0;

  // The settings in force, as last applied from RxState.
  ListenMode mode = ListenMode::off;
  int32_t offset_hz = 0;
  int32_t deemphasis_us = 0;
  int32_t squelch_tenths = squelch_off;

  // Shift of the station to 0 Hz: a rotating phasor in double precision, renormalised
  // every block.
  double mix_re = 1.0, mix_im = 0.0;
  double mix_step_re = 1.0, mix_step_im = 0.0;
  // Shift from the SSB filter's centre back to the audio band, at the channel rate.
  double sideband_re = 1.0, sideband_im = 0.0;
  double sideband_step_re = 1.0, sideband_step_im = 0.0;

  ComplexStage decimate;  // to the channel rate
  ComplexStage channel;   // the mode's own filter at the channel rate (SSB)
  RealDecimator audio_decimate;  // wide FM: from the channel rate to the audio rate
  InterpolatorStage interpolate; // the others: from the channel rate to the audio rate
  int32_t channel_rate = 0;

  // Demodulator state.
  float last_re = 0.0f, last_im = 0.0f;  // FM: the previous channel sample
  double carrier = 0.0;                  // AM: the envelope's mean
  double agc_peak = 0.0;                 // SSB: the level control's peak
  double deemphasis_state = 0.0;
  double deemphasis_keep = 0.0;          // the pole; 0 for flat audio
  double audio_scale = 0.0;              // demodulator output to full scale

  // Squelch: mean power over a window of channel samples.
  double power_sum = 0.0;
  int32_t power_count = 0;
  int32_t power_window = 0;
  bool open = true;

  // Working rows, one block's worth at each rate.
  float shifted[2 * 2 * listen_block_frames] = {};  // widest input run, I/Q interleaved
  float narrow[2 * listen_block_frames] = {};       // at the channel rate, I/Q
  float audio_in[2 * listen_block_frames] = {};     // demodulated, at the channel rate
  float audio_out[listen_block_frames] = {};        // at the audio rate, being collected
  int32_t audio_count = 0;
  int16_t pcm_block[2 * listen_block_frames] = {};

  // For others to read: the channel's level (dB relative to full scale; no level
  // before the first window) and whether the squelch lets the audio through.
  std::atomic<float> level_dbfs{-999.0f};
  std::atomic<uint8_t> squelch_open{1};
  std::atomic<int32_t> applied_mode{0};  // the ListenMode the audio now comes from
};

// Sets the rates; the channel stays off until RxState asks for a mode.
void listen_set_rates(ListenChannel& channel, int32_t sample_rate, int32_t frame_rate);

// Applies RxState's listening settings when they changed (a changed mode or offset
// designs the filters again and restarts the channel). Cheap when nothing changed.
void listen_apply(ListenChannel& channel, const RxState& state);

// The sinks receive blocks of 5,120 stereo frames of 16-bit samples, the mono audio on
// both channels (20,480 bytes).

// Wide FM: the dongle's samples (I/Q interleaved floats), as the DSP thread converted
// them. Does nothing in the other modes.
void listen_feed_raw(ListenChannel& channel, const float* iq, int32_t pairs, const BlockSink& sink);

// The narrow modes: one run of baseband outputs. Does nothing in wide FM or off.
void listen_feed_baseband(ListenChannel& channel, const float* out_i, const float* out_q, int32_t count,
                          const BlockSink& sink);
