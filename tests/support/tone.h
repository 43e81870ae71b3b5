// How strong one tone is in a stream of I/Q pairs: a direct DFT at one frequency.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

// Amplitude of the complex exponential at `frequency` Hz in `pairs` interleaved I/Q
// values (I first) sampled at `rate`, measured from `zero`.
template <typename Sample>
double tone_amplitude(const Sample* iq, size_t pairs, double frequency, double rate, double zero = 0.0) {
  std::complex<double> sum = 0;
  for (size_t k = 0; k < pairs; ++k) {
    const std::complex<double> sample(iq[2 * k] - zero, iq[2 * k + 1] - zero);
    sum += sample * std::polar(1.0, -2 * std::numbers::pi * frequency * static_cast<double>(k) / rate);
  }
  return std::abs(sum) / static_cast<double>(pairs);
}

// The dongle's unsigned bytes, whose zero lies at 127.5; amplitude in byte steps.
inline double tone_amplitude(const std::vector<uint8_t>& bytes, double frequency, double rate) {
  return tone_amplitude(bytes.data(), bytes.size() / 2, frequency, rate, 127.5);
}

// 16-bit stereo PCM frames (I left, Q right).
inline double tone_amplitude(const std::vector<int16_t>& frames, double frequency, double rate) {
  return tone_amplitude(frames.data(), frames.size() / 2, frequency, rate);
}

// I/Q pairs under a Hann window, so that a gap in a recording or a tone further off leaks
// little into the frequencies around the one looked for. Amplitudes measured on them are
// half of the unwindowed ones.
inline std::vector<double> hann_windowed(const std::vector<int16_t>& frames) {
  const size_t pairs = frames.size() / 2;
  std::vector<double> windowed(2 * pairs);
  for (size_t k = 0; k < pairs; ++k) {
    const double w =
        0.5 - 0.5 * std::cos(2 * std::numbers::pi * (static_cast<double>(k) + 0.5) / static_cast<double>(pairs));
    windowed[2 * k] = w * frames[2 * k];
    windowed[2 * k + 1] = w * frames[2 * k + 1];
  }
  return windowed;
}

// The frequency between `from` and `to` Hz where windowed I/Q pairs are strongest, to a
// tenth of a hertz: a grid at half the window's resolution, then finer around its best.
inline double strongest_tone(const std::vector<double>& windowed, double rate, double from, double to) {
  const size_t pairs = windowed.size() / 2;
  auto best = [&](double lo, double hi, double step) {
    double at = lo;
    double peak = -1;
    for (int n = 0; lo + n * step <= hi + step / 2; ++n) {
      const double f = lo + n * step;
      const double a = tone_amplitude(windowed.data(), pairs, f, rate);
      if (a > peak) {
        peak = a;
        at = f;
      }
    }
    return at;
  };
  const double coarse = rate / static_cast<double>(pairs) / 2;
  const double near = best(from, to, coarse);
  return best(std::max(from, near - coarse), std::min(to, near + coarse), 0.1);
}

// The last `seconds` of a recording of 16-bit stereo frames at `rate`, and where in
// `from`..`to` Hz its strongest tone is.
inline double strongest_tone_at_end(const std::vector<int16_t>& frames, double rate, double seconds, double from,
                                    double to) {
  const size_t wanted = 2 * static_cast<size_t>(rate * seconds);
  if (frames.size() < wanted) return std::nan("");
  const std::vector<int16_t> last(frames.end() - static_cast<std::ptrdiff_t>(wanted), frames.end());
  return strongest_tone(hann_windowed(last), rate, from, to);
}
