#include "dsp/listen_channel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/listen_kernels.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double two_pi = 2.0 * pi;

// Channel rates: narrow FM needs its ±8 kHz; AM and SSB are narrower still.
constexpr int32_t fm_channel_rate = 24000;
constexpr int32_t narrow_channel_rate = 12000;
constexpr int32_t wfm_decimation = 5;  // dongle rate to channel rate, and channel to audio

// Band-pass edges (Hz from the station's centre) and the width of each filter's slope.
// A Hamming window's slope is about 3.3 / taps of the rate wide.
constexpr double hamming_slope_taps = 3.3;
constexpr double blackman_slope_taps = 5.5;
constexpr double fm_channel_edge = 8000.0;
constexpr double am_channel_edge = 4500.0;
constexpr double ssb_centre = 1500.0;      // of the 300 - 2,700 Hz passband
constexpr double ssb_half_width = 1200.0;
constexpr double ssb_slope = 300.0;
constexpr double wfm_channel_edge = 100000.0;
constexpr double fm_audio_edge = 5000.0;
constexpr double am_audio_edge = 4500.0;
constexpr double ssb_audio_edge = 3000.0;
constexpr double wfm_audio_edge = 15000.0;
constexpr double wfm_audio_slope = 10000.0;

// Output levels: the reference of each demodulator comes out at half of full scale
// (-6 dBFS peak), leaving room for louder stations before the limiter.
constexpr double reference_level = 0.5;
constexpr double fm_reference_deviation = 5000.0;
constexpr double wfm_reference_deviation = 75000.0;
constexpr double am_carrier_seconds = 0.1;  // the carrier's mean follows fading, not speech
constexpr double ssb_peak_seconds = 1.0;    // the SSB level control's recovery
constexpr double ssb_floor = 1e-3;          // -60 dBFS: the most the level control raises (54 dB)
constexpr int32_t squelch_windows_per_second = 100;
constexpr float full_scale = 32767.0f;

bool narrow_mode(ListenMode mode) {
  return mode == ListenMode::fm || mode == ListenMode::am || mode == ListenMode::usb || mode == ListenMode::lsb;
}

enum class Window { hamming, blackman };

// Windowed sinc low-pass with unity gain at 0 Hz; cutoff in cycles per sample. Hamming
// keeps the filters short; Blackman buys SSB's opposite sideband 20 dB more rejection.
void design_lowpass(double* out, int32_t taps, double cutoff, Window shape = Window::hamming) {
  double sum = 0.0;
  const double centre = (taps - 1) * 0.5;
  for (int32_t k = 0; k < taps; ++k) {
    const double t = k - centre;
    const double x = two_pi * cutoff * t;
    const double sinc = std::fabs(t) < 1e-9 ? 2.0 * cutoff : std::sin(x) / (pi * t);
    const double phase = taps > 1 ? two_pi * k / (taps - 1) : pi;
    const double window = shape == Window::hamming ? 0.54 - 0.46 * std::cos(phase)
                                                   : 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2 * phase);
    out[k] = sinc * window;
    sum += out[k];
  }
  for (int32_t k = 0; k < taps; ++k) out[k] /= sum;
}

// Taps for a slope of `slope` Hz at `rate`, a multiple of `multiple_of`.
int32_t taps_for(double rate, double slope, int32_t multiple_of = 1, Window shape = Window::hamming) {
  const double slope_taps = shape == Window::hamming ? hamming_slope_taps : blackman_slope_taps;
  int32_t taps = static_cast<int32_t>(std::ceil(slope_taps * rate / slope));
  taps = (taps + multiple_of - 1) / multiple_of * multiple_of;
  return std::clamp(taps, 3, listen_max_taps);
}

// A band-pass centred at `centre` Hz: the low-pass turned up to the centre. Stored newest
// sample first, each part twice for interleaved I/Q.
void design_select(ComplexDecimator& stage, double rate, double centre, double edge, double slope,
                   int32_t decimation, Window shape = Window::hamming) {
  double lowpass[listen_max_taps];
  const int32_t taps = taps_for(rate, slope, 1, shape);
  design_lowpass(lowpass, taps, (edge + slope / 2) / rate, shape);
  stage.real_taps = centre == 0.0;
  stage.taps = taps;
  stage.decimation = decimation;
  for (int32_t k = 0; k < taps; ++k) {
    // Tap k meets the sample k steps before the newest; the line holds oldest first.
    const double angle = two_pi * centre / rate * k;
    const int32_t at = taps - 1 - k;
    const float re = static_cast<float>(lowpass[k] * std::cos(angle));
    const float im = static_cast<float>(lowpass[k] * std::sin(angle));
    stage.ga[2 * at] = stage.ga[2 * at + 1] = re;
    stage.gb[2 * at] = stage.gb[2 * at + 1] = im;
  }
  std::memset(stage.line, 0, sizeof stage.line);
  stage.held = taps - 1;  // a start from silence
  stage.next_end = taps - 1;
}

void design_real_decimator(RealDecimator& stage, double rate, double edge, double slope, int32_t decimation) {
  double lowpass[listen_max_taps];
  const int32_t taps = taps_for(rate, slope);
  design_lowpass(lowpass, taps, (edge + slope / 2) / rate);
  stage.taps = taps;
  stage.decimation = decimation;
  for (int32_t k = 0; k < taps; ++k) stage.coef[taps - 1 - k] = static_cast<float>(lowpass[k]);
  std::memset(stage.line, 0, sizeof stage.line);
  stage.held = taps - 1;
  stage.next_end = taps - 1;
}

// Interpolation by `factor` with a low-pass whose passband ends at `edge` Hz.
void design_interpolator(Interpolator& stage, double out_rate, double edge, int32_t factor) {
  double lowpass[listen_max_taps];
  const double in_rate = out_rate / factor;
  // Steep enough to end the audio band at `edge`, and to reach the first image of it.
  const double slope = std::min(in_rate - 2.0 * edge, edge);
  const int32_t taps = taps_for(out_rate, slope, factor);
  const int32_t per_phase = taps / factor;
  design_lowpass(lowpass, taps, (edge + slope / 2) / out_rate);
  stage.factor = factor;
  stage.taps_per_phase = per_phase;
  // Output n * factor + p is the sum over j of h[p + j * factor] * x[n - j]: phase p's
  // taps, newest input first, stored in line order and scaled by the factor for unity gain.
  for (int32_t p = 0; p < factor; ++p) {
    for (int32_t j = 0; j < per_phase; ++j) {
      stage.coef[p * per_phase + (per_phase - 1 - j)] = static_cast<float>(lowpass[p + j * factor] * factor);
    }
  }
  std::memset(stage.line, 0, sizeof stage.line);
  stage.held = per_phase - 1;
}

// Runs `count` samples (at most listen_chunk) through a complex decimator. Input comes
// interleaved (iq) or as two rows (i, q). Returns the outputs written to out, I/Q.
int32_t run_select(ComplexDecimator& s, const float* iq, const float* i, const float* q, int32_t count, float* out) {
  float* tail = s.line + 2 * s.held;
  if (iq != nullptr) {
    std::memcpy(tail, iq, sizeof(float) * 2 * static_cast<size_t>(count));
  } else {
    for (int32_t k = 0; k < count; ++k) {
      tail[2 * k] = i[k];
      tail[2 * k + 1] = q[k];
    }
  }
  const int32_t total = s.held + count;
  int32_t made = 0;
  while (s.next_end < total) {
    const float* window = s.line + 2 * (s.next_end - s.taps + 1);
    if (s.real_taps) {
      listen_kernels::real_taps_dot(window, s.ga, s.taps, out + 2 * made);
    } else {
      listen_kernels::complex_dot(window, s.ga, s.gb, s.taps, out + 2 * made);
    }
    ++made;
    s.next_end += s.decimation;
  }
  // A decimation longer than the filter can leave the next window wholly ahead.
  const int32_t keep_from = std::min(s.next_end - s.taps + 1, total);
  s.held = total - keep_from;
  std::memmove(s.line, s.line + 2 * keep_from, sizeof(float) * 2 * static_cast<size_t>(s.held));
  s.next_end -= keep_from;
  return made;
}

int32_t run_real_decimator(RealDecimator& s, const float* in, int32_t count, float* out) {
  std::memcpy(s.line + s.held, in, sizeof(float) * static_cast<size_t>(count));
  const int32_t total = s.held + count;
  int32_t made = 0;
  while (s.next_end < total) {
    out[made++] = listen_kernels::real_dot(s.line + (s.next_end - s.taps + 1), s.coef, s.taps);
    s.next_end += s.decimation;
  }
  const int32_t keep_from = std::min(s.next_end - s.taps + 1, total);
  s.held = total - keep_from;
  std::memmove(s.line, s.line + keep_from, sizeof(float) * static_cast<size_t>(s.held));
  s.next_end -= keep_from;
  return made;
}

int32_t run_interpolator(Interpolator& s, const float* in, int32_t count, float* out) {
  std::memcpy(s.line + s.held, in, sizeof(float) * static_cast<size_t>(count));
  const int32_t per_phase = s.taps_per_phase;
  for (int32_t n = 0; n < count; ++n) {
    const float* window = s.line + n;  // ends with input n
    for (int32_t p = 0; p < s.factor; ++p) {
      out[n * s.factor + p] = listen_kernels::real_dot(window, s.coef + p * per_phase, per_phase);
    }
  }
  s.held = per_phase - 1;
  std::memmove(s.line, s.line + count, sizeof(float) * static_cast<size_t>(s.held));
  return count * s.factor;
}

// A phasor turning by `hz` per sample at `rate`.
void phase_step(double hz, double rate, double& re, double& im) {
  re = std::cos(two_pi * hz / rate);
  im = std::sin(two_pi * hz / rate);
}

// Where a frequency lands after decimation to `rate`: in [-rate/2, rate/2).
double folded(double hz, double rate) { return hz - rate * std::floor(hz / rate + 0.5); }

void configure(ListenChannel& c) {
  const double baseband = c.frame_rate;
  const double offset = c.offset_hz;
  c.last_re = c.last_im = 0.0f;
  c.carrier = 0.0;
  c.peak = 0.0;
  c.deemphasis = 0.0f;
  c.power_sum = 0.0;
  c.power_count = 0;
  c.turn_re = 1.0;
  c.turn_im = 0.0;
  c.audio_turn_re = 1.0;
  c.audio_turn_im = 0.0;
  c.audio_count = 0;
  double centre = offset;
  double deemphasis_seconds = 0.0;
  switch (c.mode) {
    case ListenMode::fm:
      c.channel_rate = fm_channel_rate;
      design_select(c.select, baseband, centre, fm_channel_edge, c.channel_rate - 2 * fm_channel_edge,
                    c.frame_rate / c.channel_rate);
      design_interpolator(c.audio_up, baseband, fm_audio_edge, c.frame_rate / c.channel_rate);
      c.fm_scale = static_cast<float>(reference_level * c.channel_rate / (two_pi * fm_reference_deviation));
      if (c.deemphasis_us == fm_deemphasis_voice_us) deemphasis_seconds = c.deemphasis_us * 1e-6;
      break;
    case ListenMode::wfm:
      c.channel_rate = c.sample_rate / wfm_decimation;
      design_select(c.select, c.sample_rate, centre, wfm_channel_edge,
                    std::min(c.channel_rate - 2 * wfm_channel_edge, 2 * wfm_channel_edge), wfm_decimation);
      design_real_decimator(c.audio_down, c.channel_rate, wfm_audio_edge, wfm_audio_slope,
                            c.channel_rate / c.frame_rate);
      c.fm_scale = static_cast<float>(reference_level * c.channel_rate / (two_pi * wfm_reference_deviation));
      if (c.deemphasis_us == wfm_deemphasis_default_us || c.deemphasis_us == wfm_deemphasis_americas_us) {
        deemphasis_seconds = c.deemphasis_us * 1e-6;
      }
      break;
    case ListenMode::am:
      c.channel_rate = narrow_channel_rate;
      design_select(c.select, baseband, centre, am_channel_edge, c.channel_rate - 2 * am_channel_edge,
                    c.frame_rate / c.channel_rate);
      design_interpolator(c.audio_up, baseband, am_audio_edge, c.frame_rate / c.channel_rate);
      break;
    case ListenMode::usb:
    case ListenMode::lsb: {
      const double side = c.mode == ListenMode::usb ? 1.0 : -1.0;
      centre = offset + side * ssb_centre;
      c.channel_rate = narrow_channel_rate;
      // The first filter only keeps the decimation's aliases off the passband; the
      // second gives the passband its sharp edges at the channel rate.
      const double wide_edge = ssb_half_width + ssb_slope;
      design_select(c.select, baseband, centre, wide_edge, c.channel_rate - 2 * wide_edge,
                    c.frame_rate / c.channel_rate);
      design_select(c.sideband, c.channel_rate, 0.0, ssb_half_width - ssb_slope / 2, ssb_slope, 1,
                    Window::blackman);
      phase_step(side * ssb_centre, c.channel_rate, c.audio_turn_step_re, c.audio_turn_step_im);
      design_interpolator(c.audio_up, baseband, ssb_audio_edge, c.frame_rate / c.channel_rate);
      break;
    }
    case ListenMode::off:
      c.channel_rate = 0;
      return;
  }
  phase_step(folded(centre, c.channel_rate), c.channel_rate, c.residual_step_re, c.residual_step_im);
  c.deemphasis_gain =
      deemphasis_seconds > 0 ? static_cast<float>(1.0 - std::exp(-1.0 / (deemphasis_seconds * c.channel_rate))) : 1.0f;
  c.carrier_keep = std::exp(-1.0 / (am_carrier_seconds * c.channel_rate));
  c.peak_keep = std::exp(-1.0 / (ssb_peak_seconds * c.channel_rate));
  c.power_window = std::max(c.channel_rate / squelch_windows_per_second, 1);
  c.open = c.squelch_tenths == squelch_off;
  c.squelch_open.store(c.open ? 1 : 0, std::memory_order_relaxed);
  c.level_dbfs.store(-999.0f, std::memory_order_relaxed);
}

// The squelch's view of one channel sample's power; decides at the end of each window.
void measure(ListenChannel& c, const float* iq, int32_t count) {
  for (int32_t k = 0; k < count; ++k) {
    c.power_sum += static_cast<double>(iq[2 * k]) * iq[2 * k] + static_cast<double>(iq[2 * k + 1]) * iq[2 * k + 1];
    if (++c.power_count < c.power_window) continue;
    const double mean = c.power_sum / c.power_count;
    const double level = mean > 0.0 ? 10.0 * std::log10(mean) : -999.0;
    c.power_sum = 0.0;
    c.power_count = 0;
    c.level_dbfs.store(static_cast<float>(level), std::memory_order_relaxed);
    if (c.squelch_tenths == squelch_off) {
      c.open = true;
    } else {
      const double threshold = c.squelch_tenths / 10.0;
      if (c.open && level < threshold - squelch_hysteresis_tenths / 10.0) c.open = false;
      if (!c.open && level >= threshold) c.open = true;
    }
    c.squelch_open.store(c.open ? 1 : 0, std::memory_order_relaxed);
  }
}

// Phase step of each channel sample against the previous one, less the residual
// frequency, scaled to audio.
void demodulate_fm(ListenChannel& c, const float* iq, int32_t count, float* out) {
  if (count <= 0) return;
  listen_kernels::phase_steps(iq, count, c.last_re, c.last_im, static_cast<float>(c.residual_step_re),
                              static_cast<float>(c.residual_step_im), c.fm_scale, out);
  c.last_re = iq[2 * (count - 1)];
  c.last_im = iq[2 * (count - 1) + 1];
}

// Envelope over its slow mean: 100 % modulation swings to the reference level whatever
// the carrier's strength.
void demodulate_am(ListenChannel& c, const float* iq, int32_t count, float* out) {
  for (int32_t k = 0; k < count; ++k) {
    const double envelope = std::sqrt(static_cast<double>(iq[2 * k]) * iq[2 * k] +
                                      static_cast<double>(iq[2 * k + 1]) * iq[2 * k + 1]);
    // The first sample sets the mean, so that a start does not blare while it settles.
    c.carrier = c.carrier > 0.0 ? c.carrier_keep * c.carrier + (1.0 - c.carrier_keep) * envelope : envelope;
    out[k] = c.carrier > 1e-12 ? static_cast<float>(reference_level * (envelope - c.carrier) / c.carrier) : 0.0f;
  }
}

// Turns the passband's centre to 0 Hz, filters it to 2,400 Hz wide, turns it up to
// 1,500 Hz of audio and keeps the real part; the level control follows its peaks.
void demodulate_ssb(ListenChannel& c, float* iq, int32_t count, float* out) {
  for (int32_t k = 0; k < count; ++k) {
    const double r = iq[2 * k], i = iq[2 * k + 1];
    // Multiply by conj(turn), then advance turn by the residual step.
    iq[2 * k] = static_cast<float>(r * c.turn_re + i * c.turn_im);
    iq[2 * k + 1] = static_cast<float>(i * c.turn_re - r * c.turn_im);
    const double tr = c.turn_re * c.residual_step_re - c.turn_im * c.residual_step_im;
    c.turn_im = c.turn_re * c.residual_step_im + c.turn_im * c.residual_step_re;
    c.turn_re = tr;
  }
  const double norm = 1.0 / std::hypot(c.turn_re, c.turn_im);
  c.turn_re *= norm;
  c.turn_im *= norm;
  const int32_t made = run_select(c.sideband, iq, nullptr, nullptr, count, c.narrow2);
  for (int32_t k = 0; k < made; ++k) {
    const double a = c.narrow2[2 * k] * c.audio_turn_re - c.narrow2[2 * k + 1] * c.audio_turn_im;
    const double at = c.audio_turn_re * c.audio_turn_step_re - c.audio_turn_im * c.audio_turn_step_im;
    c.audio_turn_im = c.audio_turn_re * c.audio_turn_step_im + c.audio_turn_im * c.audio_turn_step_re;
    c.audio_turn_re = at;
    c.peak = std::max(std::fabs(a), c.peak * c.peak_keep);
    out[k] = static_cast<float>(reference_level * a / std::max(c.peak, ssb_floor));
  }
  const double audio_norm = 1.0 / std::hypot(c.audio_turn_re, c.audio_turn_im);
  c.audio_turn_re *= audio_norm;
  c.audio_turn_im *= audio_norm;
}

// Channel samples to demodulated, de-emphasised, squelched audio at the channel rate.
void demodulate(ListenChannel& c, float* iq, int32_t count, float* out) {
  switch (c.mode) {
    case ListenMode::fm:
    case ListenMode::wfm: demodulate_fm(c, iq, count, out); break;
    case ListenMode::am: demodulate_am(c, iq, count, out); break;
    case ListenMode::usb:
    case ListenMode::lsb: demodulate_ssb(c, iq, count, out); break;
    case ListenMode::off: return;
  }
  // SSB measures what its sharp filter passed; the others what the band-pass passed.
  measure(c, c.mode == ListenMode::usb || c.mode == ListenMode::lsb ? c.narrow2 : iq, count);
  if (c.deemphasis_gain < 1.0f) {
    float y = c.deemphasis;
    for (int32_t k = 0; k < count; ++k) out[k] = y += c.deemphasis_gain * (out[k] - y);
    c.deemphasis = y;
  }
  // A closed squelch gives silence, not nothing: zero samples keep a decoder's clock.
  if (!c.open) std::fill(out, out + count, 0.0f);
}

void collect(ListenChannel& c, const float* audio, int32_t count, const BlockSink& sink) {
  int32_t k = 0;
  while (k < count) {
    const int32_t n = std::min(count - k, listen_block_frames - c.audio_count);
    std::memcpy(c.audio_out + c.audio_count, audio + k, sizeof(float) * static_cast<size_t>(n));
    c.audio_count += n;
    k += n;
    if (c.audio_count < listen_block_frames) break;
    for (int32_t f = 0; f < listen_block_frames; ++f) {
      const float v = std::clamp(c.audio_out[f], -1.0f, 1.0f) * full_scale;
      const int16_t s = static_cast<int16_t>(std::lrint(v));
      c.pcm_block[2 * f] = s;
      c.pcm_block[2 * f + 1] = s;
    }
    if (sink.write != nullptr) sink.write(sink.context, c.pcm_block, static_cast<int>(sizeof c.pcm_block));
    c.audio_count = 0;
  }
}

}  // namespace

void listen_set_rates(ListenChannel& channel, int32_t sample_rate, int32_t frame_rate) {
  channel.sample_rate = sample_rate;
  channel.frame_rate = frame_rate;
}

void listen_apply(ListenChannel& c, const RxState& state) {
  const ListenMode mode = static_cast<ListenMode>(state.listen_mode.load(std::memory_order_relaxed));
  const int32_t offset = state.listen_offset.load(std::memory_order_relaxed);
  const int32_t deemphasis = mode == ListenMode::wfm ? state.wfm_deemphasis_us.load(std::memory_order_relaxed)
                                                     : state.fm_deemphasis_us.load(std::memory_order_relaxed);
  c.squelch_tenths = state.squelch.load(std::memory_order_relaxed);
  if (mode == c.mode && offset == c.offset_hz && deemphasis == c.deemphasis_us) return;
  const bool known = mode == ListenMode::off || mode == ListenMode::wfm || narrow_mode(mode);
  c.mode = known && c.frame_rate > 0 ? mode : ListenMode::off;
  c.offset_hz = offset;
  c.deemphasis_us = deemphasis;
  configure(c);
  c.applied_mode.store(static_cast<int32_t>(c.mode), std::memory_order_relaxed);
}

void listen_feed_raw(ListenChannel& c, const float* iq, int32_t pairs, const BlockSink& sink) {
  if (c.mode != ListenMode::wfm) return;
  for (int32_t done = 0; done < pairs;) {
    const int32_t n = std::min(pairs - done, listen_chunk);
    const int32_t made = run_select(c.select, iq + 2 * static_cast<size_t>(done), nullptr, nullptr, n, c.narrow);
    demodulate(c, c.narrow, made, c.demodulated);
    const int32_t audio = run_real_decimator(c.audio_down, c.demodulated, made, c.audio);
    collect(c, c.audio, audio, sink);
    done += n;
  }
}

void listen_feed_baseband(ListenChannel& c, const float* out_i, const float* out_q, int32_t count,
                          const BlockSink& sink) {
  if (!narrow_mode(c.mode)) return;
  for (int32_t done = 0; done < count;) {
    const int32_t n = std::min(count - done, listen_chunk);
    const int32_t made = run_select(c.select, nullptr, out_i + done, out_q + done, n, c.narrow);
    demodulate(c, c.narrow, made, c.demodulated);
    const int32_t audio = run_interpolator(c.audio_up, c.demodulated, made, c.audio);
    collect(c, c.audio, audio, sink);
    done += n;
  }
}
