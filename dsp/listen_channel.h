// The listening channel: one station taken out of the receiver's band and demodulated
// to audio, for a person or a decoder. Narrow FM, AM, USB and LSB come from the
// baseband (the channel filter's outputs before the level control); wide FM comes from
// the dongle's own stream, since a broadcast station is wider than the baseband.
//
// Every mode runs the same way: a band-pass filter centred on the station decimates to
// the mode's channel rate; the demodulator, its level control and the squelch work at
// that rate; a last filter brings the audio to the baseband's frame rate (one audio
// sample per baseband output). The band-pass leaves the station at a known residual
// frequency instead of mixing it down sample by sample: FM subtracts it from the phase
// step, AM's envelope does not see it, SSB turns it away at the channel rate.
// All storage is fixed; nothing is allocated per block.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/listen_mode.h"
#include "core/rx_state.h"
#include "dsp/block_sink.h"

inline constexpr int listen_block_frames = 5120;  // frames per audio block, as the baseband's
inline constexpr int listen_max_taps = 512;       // longest filter of any stage
inline constexpr int listen_chunk = 2048;         // input samples a stage takes at once

// A decimating FIR filter on complex samples with complex taps. The line holds the
// samples the next outputs need, oldest first; `ga` and `gb` are the taps in line order
// (newest sample meets tap 0), each real and imaginary part written twice so that they
// line up with interleaved I/Q.
struct ComplexDecimator {
  int32_t taps = 0;
  int32_t decimation = 1;
  int32_t held = 0;      // samples in the line
  int32_t next_end = 0;  // line index of the next output's newest sample
  bool real_taps = false;  // centred on 0 Hz: gb is all zero and is skipped
  alignas(16) float ga[2 * listen_max_taps] = {};
  alignas(16) float gb[2 * listen_max_taps] = {};
  alignas(16) float line[2 * (listen_max_taps + listen_chunk)] = {};
};

// A decimating FIR filter on real samples (wide FM's audio).
struct RealDecimator {
  int32_t taps = 0;
  int32_t decimation = 1;
  int32_t held = 0;
  int32_t next_end = 0;
  alignas(16) float coef[listen_max_taps] = {};
  alignas(16) float line[listen_max_taps + listen_chunk] = {};
};

// An interpolating FIR filter on real samples: each input gives `factor` outputs.
struct Interpolator {
  int32_t factor = 1;
  int32_t taps_per_phase = 0;
  int32_t held = 0;
  alignas(16) float coef[listen_max_taps] = {};  // phase p's taps at p * taps_per_phase, in line order
  alignas(16) float line[listen_max_taps + listen_chunk] = {};
};

struct ListenChannel {
  // Rates, from the variant: the dongle's samples and the baseband's (= audio) frames.
  int32_t sample_rate = 0;
  int32_t frame_rate = 0;

  // The settings in force, as last applied from RxState.
  ListenMode mode = ListenMode::off;
  int32_t offset_hz = 0;
  int32_t deemphasis_us = -1;
  int32_t squelch_tenths = squelch_off;

  int32_t channel_rate = 0;
  ComplexDecimator select;    // band-pass around the station, down to the channel rate
  ComplexDecimator sideband;  // SSB: the 2,400 Hz wide passband, at the channel rate
  RealDecimator audio_down;   // wide FM: channel rate to audio rate
  Interpolator audio_up;      // the others: channel rate to audio rate

  // Where the station lies after the band-pass, as a phase step per channel sample.
  double residual_step_re = 1.0, residual_step_im = 0.0;
  // SSB's rotations at the channel rate: the residual away, then the passband's centre
  // back to 1,500 Hz of audio.
  double turn_re = 1.0, turn_im = 0.0;
  double audio_turn_re = 1.0, audio_turn_im = 0.0;
  double audio_turn_step_re = 1.0, audio_turn_step_im = 0.0;

  // Demodulators and their level controls.
  float last_re = 0.0f, last_im = 0.0f;  // FM: the previous channel sample
  float fm_scale = 0.0f;                 // phase step (radians) to audio
  double carrier = 0.0;                  // AM: the envelope's slow mean
  double carrier_keep = 0.0;
  double peak = 0.0;                     // SSB: the level control's decaying peak
  double peak_keep = 0.0;
  float deemphasis = 0.0f;               // one-pole low-pass state
  float deemphasis_gain = 1.0f;          // its step; 1 for flat audio

  // Squelch: mean power over windows of channel samples.
  double power_sum = 0.0;
  int32_t power_count = 0;
  int32_t power_window = 0;
  bool open = true;

  // Working rows.
  alignas(16) float narrow[2 * listen_chunk] = {};  // channel samples, I/Q
  alignas(16) float narrow2[2 * listen_chunk] = {};
  alignas(16) float demodulated[listen_chunk] = {};
  alignas(16) float audio[listen_chunk + listen_max_taps] = {};  // a run may end mid-period
  alignas(16) float audio_out[listen_block_frames] = {};  // at the audio rate, being collected
  int32_t audio_count = 0;
  int16_t pcm_block[2 * listen_block_frames] = {};

  // For others to read: the channel's level (dB relative to full scale, as the
  // baseband's; -999 before the first window), whether the squelch lets audio through,
  // and the ListenMode the audio now comes from.
  std::atomic<float> level_dbfs{-999.0f};
  std::atomic<uint8_t> squelch_open{1};
  std::atomic<int32_t> applied_mode{0};
};

// Sets the rates; the channel stays off until RxState asks for a mode.
void listen_set_rates(ListenChannel& channel, int32_t sample_rate, int32_t frame_rate);

// Applies RxState's listening settings when they changed: a new mode, offset or
// de-emphasis designs the filters again and starts the channel afresh; a new squelch
// level only moves the threshold. Cheap when nothing changed.
void listen_apply(ListenChannel& channel, const RxState& state);

// The sinks receive blocks of 5,120 stereo frames of 16-bit samples, the mono audio on
// both channels (20,480 bytes).

// Wide FM: the dongle's samples (I/Q interleaved floats), as the DSP thread converted
// them. Does nothing in the other modes.
void listen_feed_raw(ListenChannel& channel, const float* iq, int32_t pairs, const BlockSink& sink);

// The narrow modes: a run of baseband outputs. Does nothing in wide FM or off.
void listen_feed_baseband(ListenChannel& channel, const float* out_i, const float* out_q, int32_t count,
                          const BlockSink& sink);
