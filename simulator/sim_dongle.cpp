#include "simulator/sim_dongle.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <numeric>
#include <numbers>
#include <thread>

#include "tuner/rtl_tcp.h"

namespace {

constexpr const char* sim_manufacturer = "rxiq";
constexpr const char* sim_product = "Simulated RTL2832U";
constexpr const char* sim_serial = "00000001";

constexpr int scene_tables_per_second = 5;  // the table holds 0.2 s of signal
constexpr int exact_phase_interval = 4096;  // rotors are recomputed exactly this often
// A read within this fraction of the table, while the table is stale, is computed on
// its own rather than building the table for it.
constexpr size_t short_read_fraction = 8;

// The beacon's bursts are computed in pieces of this many samples as reads reach them.
constexpr size_t beacon_piece = 16384;

// A stream that falls this far behind real time starts afresh instead of bursting.

bool rate_accepted(uint32_t rate) {
  return (rate > 225000 && rate <= 300000) || (rate > 900000 && rate <= 3200000);
}

void copy_string(char* target, const char* text) {
  std::snprintf(target, usb_string_size, "%s", text);
}

// A uniformly rotating phasor exp(j 2 pi k n / length), advanced by multiplication and
// recomputed exactly at regular intervals so that rounding never accumulates.
struct Rotor {
  int64_t k;
  int64_t length;
  double re = 1, im = 0, step_re = 1, step_im = 0;

  Rotor(int64_t cycles, int64_t table_length) : k(cycles), length(table_length) {
    double step = 2 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(length);
    step_re = std::cos(step);
    step_im = std::sin(step);
  }

  void at(int64_t n) {
    int64_t turn = (k * n) % length;
    double angle = 2 * std::numbers::pi * static_cast<double>(turn) / static_cast<double>(length);
    re = std::cos(angle);
    im = std::sin(angle);
  }

  void advance() {
    double r = re * step_re - im * step_im;
    im = re * step_im + im * step_re;
    re = r;
  }
};

// An FM signal on the table's grid modulated by a tone of whole cycles. The tone's phase
// repeats every length / gcd(tone cycles, length) samples (1 ms at the usual rates), so
// the modulation exp(j index sin(tone phase)) is computed for one such period and looked
// up, which keeps the table's build free of per-sample sines.
struct ToneFm {
  Rotor carrier;
  double amplitude;
  int64_t step = 0;  // through the period, per sample
  int64_t at = 0;
  std::vector<double> re, im;

  ToneFm(int64_t carrier_cycles, int64_t length, double signal_amplitude, double bin, double tone,
         double deviation)
      : carrier(carrier_cycles, length), amplitude(signal_amplitude) {
    if (amplitude == 0) return;
    const int64_t tone_cycles = std::max<int64_t>(std::llround(tone / bin), 1);
    const double index = deviation / (static_cast<double>(tone_cycles) * bin);
    const int64_t common = std::gcd(tone_cycles, length);
    const int64_t period = length / common;
    step = (tone_cycles / common) % period;
    re.resize(static_cast<size_t>(period));
    im.resize(static_cast<size_t>(period));
    for (int64_t m = 0; m < period; ++m) {
      const double swing =
          index * std::sin(2 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(period));
      re[static_cast<size_t>(m)] = std::cos(swing);
      im[static_cast<size_t>(m)] = std::sin(swing);
    }
  }

  void restart_at(int64_t n) {
    carrier.at(n);
    if (!re.empty()) at = step * n % static_cast<int64_t>(re.size());  // both below the table's length
  }

  // exp(j(carrier phase + index sin(tone phase))) = carrier rotor * the modulation.
  void add_to(double& i, double& q) const {
    if (amplitude == 0) return;
    const double c = re[static_cast<size_t>(at)], s = im[static_cast<size_t>(at)];
    i += amplitude * (carrier.re * c - carrier.im * s);
    q += amplitude * (carrier.re * s + carrier.im * c);
  }

  void advance() {
    carrier.advance();
    at += step;
    if (at >= static_cast<int64_t>(re.size())) at -= static_cast<int64_t>(re.size());
  }
};

// Cheap deterministic white noise: xorshift64* and the sum of four uniforms, scaled to
// unit variance (close enough to Gaussian for a noise floor).
struct Noise {
  uint64_t state = 0x9E3779B97F4A7C15ull;

  double uniform() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    uint64_t bits = state * 0x2545F4914F6CDD1Dull;
    return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
  }

  double gaussian() {
    double sum = uniform() + uniform() + uniform() + uniform() - 2.0;
    return sum * std::sqrt(3.0);  // the sum has variance 4/12
  }
};

uint8_t to_byte(double value) {
  double rounded = std::floor(value + 127.5 + 0.5);
  return static_cast<uint8_t>(std::clamp(rounded, 0.0, 255.0));
}

// Amplitude factor of the gain in effect, relative to the highest listed gain.
double gain_scale(const SimDongle& sim) {
  return std::pow(10.0, (sim_effective_gain(sim) - sim_r820t_gains.back()) / 200.0);
}

// Samples in the scene table for the current sample rate.
int64_t scene_length(const SimDongle& sim) {
  return std::max<int64_t>(sim.sample_rate / scene_tables_per_second, 1);
}

// Bytes `from` to `from + count` of the scene for the current settings, into `out`. The
// scene is one sequence (the noise runs on from sample 0), so every sample up to the
// last one asked for is computed; only the asked-for bytes are stored.
void render_scene(const SimDongle& sim, size_t from, size_t count, uint8_t* out) {
  const double rate = sim.sample_rate;
  const int64_t length = scene_length(sim);
  const double bin = rate / static_cast<double>(length);  // the table's frequency grid
  const double scale = gain_scale(sim);

  // Components outside the band the dongle passes are not seen; the rest sit on the
  // table's grid so that the table loops without a seam.
  auto cycles = [&](double frequency, bool& in_band) {
    double offset = sim_offset(sim, frequency);
    in_band = sim.pll_locked && sim.direct_sampling == 0 && std::fabs(offset) < rate / 2;
    return static_cast<int64_t>(std::llround(offset / bin));
  };
  bool carrier_in = false, second_in = false, fm_in = false, broadcast_in = false;
  Rotor carrier(cycles(sim_carrier_frequency, carrier_in), length);
  Rotor second(cycles(sim_second_carrier_frequency, second_in), length);
  const int64_t fm_cycles = cycles(sim_fm_frequency, fm_in);
  const int64_t broadcast_cycles = cycles(sim_broadcast_frequency, broadcast_in);

  const double carrier_amplitude = carrier_in ? sim_carrier_amplitude * scale : 0;
  const double second_amplitude = second_in ? sim_second_carrier_amplitude * scale : 0;
  ToneFm fm(fm_cycles, length, fm_in ? sim_fm_amplitude * scale : 0, bin, sim_fm_tone,
            sim_fm_deviation);
  ToneFm broadcast(broadcast_cycles, length, broadcast_in ? sim_station_amplitude * scale : 0, bin,
                   sim_broadcast_tone, sim_broadcast_deviation);
  const double noise_sigma = std::hypot(sim_noise_sigma * scale, sim_adc_noise_sigma);

  const size_t end = from + count;
  Noise noise;
  for (int64_t n = 0; n < length && static_cast<size_t>(n) * 2 < end; ++n) {
    if (n % exact_phase_interval == 0) {
      carrier.at(n);
      second.at(n);
      fm.restart_at(n);
      broadcast.restart_at(n);
    }
    double i = carrier_amplitude * carrier.re + second_amplitude * second.re;
    double q = carrier_amplitude * carrier.im + second_amplitude * second.im;
    fm.add_to(i, q);
    broadcast.add_to(i, q);
    i += noise_sigma * noise.gaussian();
    q += noise_sigma * noise.gaussian();
    const size_t at = static_cast<size_t>(n) * 2;
    if (at >= from) out[at - from] = to_byte(i);
    if (at + 1 >= from && at + 1 < end) out[at + 1 - from] = to_byte(q);
    carrier.advance();
    second.advance();
    fm.advance();
    broadcast.advance();
  }
}

// Bytes in the beacon's period and before its first burst, at the current rate.
int64_t beacon_period_bytes(const SimDongle& sim) {
  return 2 * int64_t{sim.sample_rate} * sim_beacon_period.count();
}
int64_t beacon_start_bytes(const SimDongle& sim) {
  return 2 * int64_t{sim.sample_rate} * sim_beacon_start.count();
}

// Sizes the burst's bytes for the current settings, all yet to be computed; none when the
// beacon is out of the band.
void prepare_beacon(SimDongle& sim) {
  sim.beacon_burst.clear();
  sim.beacon_pieces_done.clear();
  sim.beacon_stale = false;
  if (!sim.pll_locked || sim.direct_sampling != 0 || std::fabs(sim_offset(sim, sim_beacon_frequency)) >= sim.sample_rate / 2.0) return;
  const auto samples = static_cast<size_t>(std::ceil(sim.beacon.duration() * sim.sample_rate));
  sim.beacon_burst.resize(2 * samples);
  sim.beacon_pieces_done.resize((samples + beacon_piece - 1) / beacon_piece);
}

// Computes one piece of the burst: narrow FM at the beacon's offset, its phase
// 2 pi deviation times the AFSK's integral, rounded to byte steps. The offset's rotation
// is set exactly at the piece's start and advanced by multiplication within it.
void compute_beacon_piece(SimDongle& sim, size_t piece) {
  const double rate = sim.sample_rate;
  const double offset = sim_offset(sim, sim_beacon_frequency);
  const double amplitude = sim_station_amplitude * gain_scale(sim);
  const size_t first = piece * beacon_piece;
  const size_t end = std::min(sim.beacon_burst.size() / 2, first + beacon_piece);
  const double two_pi = 2 * std::numbers::pi;
  // The offset's turns are taken modulo 1 before they become an angle, to keep precision.
  std::complex<double> turn =
      std::polar(amplitude, two_pi * std::fmod(offset * static_cast<double>(first) / rate, 1.0));
  const std::complex<double> step = std::polar(1.0, two_pi * offset / rate);
  auto byte_step = [](double v) {
    return static_cast<int8_t>(std::clamp(std::floor(v + 0.5), -128.0, 127.0));
  };
  std::vector<double> integrals(end - first);
  sim.beacon.integrals(rate, first, integrals);
  for (size_t n = first; n < end; ++n) {
    const std::complex<double> value =
        turn * std::polar(1.0, two_pi * sim_beacon_deviation * integrals[n - first]);
    sim.beacon_burst[2 * n] = byte_step(value.real());
    sim.beacon_burst[2 * n + 1] = byte_step(value.imag());
    turn *= step;
  }
  sim.beacon_pieces_done[piece] = 1;
}

// Adds the burst to `length` bytes read from `clock` bytes into the beacon's period.
void add_beacon(SimDongle& sim, int64_t clock, uint8_t* out, size_t length) {
  if (sim.beacon_burst.empty()) return;
  const int64_t period = beacon_period_bytes(sim);
  const int64_t start = beacon_start_bytes(sim);
  const auto burst = static_cast<int64_t>(sim.beacon_burst.size());
  // A read may run over the period's end, or even span periods at a low rate.
  int64_t done = 0;
  while (done < static_cast<int64_t>(length)) {
    const int64_t at = (clock + done) % period;
    const int64_t span = std::min(static_cast<int64_t>(length) - done, period - at);
    const int64_t from = std::max(at, start), to = std::min(at + span, start + burst);
    if (from < to) {
      const auto first = static_cast<size_t>(from - start), last = static_cast<size_t>(to - start);
      // Pieces hold whole samples; a byte range may begin or end inside one.
      for (size_t p = first / 2 / beacon_piece; p <= (last - 1) / 2 / beacon_piece; ++p) {
        if (!sim.beacon_pieces_done[p]) compute_beacon_piece(sim, p);
      }
      sim_add_clamped(out + (done + from - at), sim.beacon_burst.data() + first, last - first);
    }
    done += span;
  }
}

}  // namespace

SimDongle::SimDongle(const DongleChoice& c, bool p) : choice(c), paced(p) {}

uint32_t SimDongle::get_device_count() {
  if (choice.failure == SimFailure::no_device) return 0;
  if (unplugged && !is_open) {
    // Gone from the bus until the look that finds it again, if any.
    if (choice.replug_look == 0 || ++looks_while_gone < choice.replug_look) return 0;
    unplugged = false;
    replugged = true;
  }
  return 1;
}

const char* SimDongle::get_device_name(uint32_t index) {
  if (choice.failure == SimFailure::no_device || index != 0) return "";
  return sim_product;
}

int SimDongle::get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                      char* serial) {
  if (choice.failure == SimFailure::no_device || index != 0) return sim_failed_result;
  if (manufact) copy_string(manufact, sim_manufacturer);
  if (product) copy_string(product, sim_product);
  if (serial) copy_string(serial, sim_serial);
  return 0;
}

int SimDongle::open(Dongle** dev, uint32_t index) {
  if (choice.failure == SimFailure::no_device || choice.failure == SimFailure::fail_open ||
      index != 0 || is_open || unplugged) {
    return sim_failed_result;
  }
  is_open = true;
  beacon_clock = 0;
  sim_driver_message("Found Rafael Micro R820T tuner\n");
  *dev = reinterpret_cast<Dongle*>(&handle_record);
  return 0;
}

// Every call on the device checks its handle, so a call with a stale or foreign handle
// fails as it would on a real bus.
static bool holds(const SimDongle& sim, Dongle* dev) {
  return sim.is_open && dev == reinterpret_cast<const Dongle*>(&sim.handle_record);
}

int SimDongle::close(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  is_open = false;
  if (unplugged) {
    // librtlsdr powers the tuner and demodulator down at close; on a dongle that has
    // left the bus every register access fails, and it says so.
    sim_driver_message("rtlsdr_demod_write_reg failed with -4\n");
    sim_driver_message("rtlsdr_demod_read_reg failed with -4\n");
    sim_driver_message("r82xx_write: i2c wr failed=-4 reg=06 len=1\n");
    sim_driver_message("rtlsdr_demod_write_reg failed with -4\n");
    sim_driver_message("rtlsdr_demod_read_reg failed with -4\n");
    sim_driver_message("rtlsdr_write_reg failed with -4\n");
  }
  return 0;
}

int SimDongle::set_tuner_gain_mode(Dongle* dev, int manual) {
  if (!holds(*this, dev)) return sim_failed_result;
  tuner_gain_mode = manual;
  // The driver chooses a manual mode with the tuner's manual gain at its lowest step.
  if (manual != 0) tuner_gain = 0;
  scene_stale = true;
  return 0;
}

int SimDongle::get_tuner_gains(Dongle* dev, int* gains) {
  if (!holds(*this, dev)) return sim_failed_result;
  if (gains) std::copy(sim_r820t_gains.begin(), sim_r820t_gains.end(), gains);
  return static_cast<int>(sim_r820t_gains.size());
}

int SimDongle::set_tuner_gain(Dongle* dev, int gain) {
  if (!holds(*this, dev)) return sim_failed_result;
  // Any gain set is a manual gain, whatever the mode was.
  tuner_gain_mode = 1;
  tuner_gain = sim_r820t_gain_for(gain);
  asked_gain = gain;
  scene_stale = true;
  return 0;
}

int SimDongle::get_tuner_gain(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  return asked_gain;
}

int SimDongle::set_agc_mode(Dongle* dev, int on) {
  if (!holds(*this, dev)) return sim_failed_result;
  agc_mode = on ? 1 : 0;
  scene_stale = true;
  return 0;
}

int SimDongle::get_offset_tuning(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  return 0;
}

int SimDongle::get_tuner_type(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  return rtl_tcp_tuner_r820t;
}

int SimDongle::set_center_freq(Dongle* dev, uint32_t freq) {
  if (!holds(*this, dev)) return sim_failed_result;
  int result = 0;
  if (choice.failure == SimFailure::fail_freq) {
    result = sim_failed_result;
  } else if (direct_sampling == 0) {  // direct sampling tunes the RTL2832U alone
    const uint32_t xtal = sim_r820t_crystal(freq_correction);
    const R820tTuning tuning = sim_r820t_tuning(freq, xtal);
    if (tuning == R820tTuning::no_pll_values) {
      sim_driver_message("[R82XX] No valid PLL values for %u Hz!\n", freq + sim_r820t_if);
      sim_driver_message("r82xx_set_freq: failed=-1\n");
      result = sim_failed_result;
    } else if (tuning == R820tTuning::unlocked) {
      sim_driver_message("[R82XX] PLL not locked!\n");
    }
    pll_locked = tuning == R820tTuning::locked;
  }
  // The driver forgets the frequency of a failed tuning.
  center_freq = result == 0 ? freq : 0;
  scene_stale = true;
  return result;
}

int SimDongle::set_sample_rate(Dongle* dev, uint32_t rate) {
  if (!holds(*this, dev)) return sim_failed_result;
  if (choice.failure == SimFailure::fail_rate || !rate_accepted(rate)) return sim_failed_result;
  // The beacon's time goes on at the new rate: the same point in its period.
  const double seconds = static_cast<double>(beacon_clock / 2) / sample_rate;
  beacon_clock = 2 * std::llround(seconds * rate);
  sample_rate = rate;
  beacon_clock %= beacon_period_bytes(*this);
  scene_stale = true;
  pacer.restart();
  // The driver sets the tuner's bandwidth for the rate, and with it tunes again.
  SimDongle::set_center_freq(dev, center_freq);
  return 0;
}

int SimDongle::set_freq_correction(Dongle* dev, int ppm) {
  if (!holds(*this, dev)) return sim_failed_result;
  if (ppm == freq_correction) return sim_same_correction_result;
  freq_correction = ppm;
  scene_stale = true;
  // The tuner is tuned again on the corrected crystal, as the driver does.
  return center_freq != 0 ? SimDongle::set_center_freq(dev, center_freq) : 0;
}

int SimDongle::get_freq_correction(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  return freq_correction;
}

int SimDongle::reset_buffer(Dongle* dev) {
  if (!holds(*this, dev)) return sim_failed_result;
  pacer.restart();
  return 0;
}

int SimDongle::read_sync(Dongle* dev, void* buf, int len, int* n_read) {
  int64_t number = ++reads;
  if (on_read) on_read(number);
  if (n_read) *n_read = 0;
  if (!holds(*this, dev)) return sim_failed_result;
  bool from_failure = choice.failure_read > 0 && number >= choice.failure_read;
  // A dongle that has left the bus fails at once, as a real one does.
  if (choice.failure == SimFailure::unplug && from_failure && !replugged) {
    unplugged = true;
    return dongle_gone_result;
  }
  if (len < 0) return sim_failed_result;

  if (paced) pacer.wait_for(len, sample_rate);
  if (choice.failure == SimFailure::fail_read && from_failure) return sim_failed_result;

  auto* const start = static_cast<uint8_t*>(buf);
  bool rendered = false;
  if (scene_stale) {
    beacon_stale = true;
    // A short read, such as the one discarded after a buffer reset, just before the
    // receiver sets its frequency correction, gets its own bytes computed; the table is
    // built once the settings have stopped changing.
    const size_t table_bytes = static_cast<size_t>(scene_length(*this)) * 2;
    const size_t position = (scene_position % table_bytes) & ~size_t{1};
    if (position + static_cast<size_t>(len) <= table_bytes / short_read_fraction) {
      render_scene(*this, position, static_cast<size_t>(len), start);
      scene_position = position + static_cast<size_t>(len);
      rendered = true;
    } else {
      sim_build_scene(*this);
    }
  }
  if (!rendered) {
    uint8_t* out = start;
    size_t remaining = static_cast<size_t>(len);
    while (remaining > 0) {
      size_t chunk = std::min(remaining, scene.size() - scene_position);
      std::memcpy(out, scene.data() + scene_position, chunk);
      out += chunk;
      remaining -= chunk;
      scene_position = (scene_position + chunk) % scene.size();
    }
  }

  if (beacon_stale) prepare_beacon(*this);
  add_beacon(*this, beacon_clock, start, static_cast<size_t>(len));
  beacon_clock = (beacon_clock + len) % beacon_period_bytes(*this);
  if (n_read) *n_read = len;
  return 0;
}

void sim_add_clamped(uint8_t* bytes, const int8_t* steps, size_t count) {
  // Eight bytes at a time in a 64-bit word, each lane taken as a signed byte (the byte
  // minus 128) so that a lane that overflows is the one to pin to its limit.
  constexpr uint64_t high = 0x8080808080808080ull, low = 0x7F7F7F7F7F7F7F7Full;
  size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    uint64_t value = 0, step = 0;
    std::memcpy(&value, bytes + k, 8);
    std::memcpy(&step, steps + k, 8);
    value ^= high;
    // The low seven bits add without carrying into the next lane; the top bit by xor.
    const uint64_t sum = ((value & low) + (step & low)) ^ ((value ^ step) & high);
    // Two of one sign giving the other: the lane overflowed, towards -128 or 127.
    const uint64_t overflow = ~(value ^ step) & (value ^ sum) & high;
    const uint64_t limit = ((value & high) >> 7) + low;
    const uint64_t mask = (overflow >> 7) * 0xFF;
    const uint64_t result = ((sum & ~mask) | (limit & mask)) ^ high;
    std::memcpy(bytes + k, &result, 8);
  }
  for (; k < count; ++k) bytes[k] = static_cast<uint8_t>(std::clamp(bytes[k] + steps[k], 0, 255));
}

void sim_driver_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

int sim_r820t_gain_for(int gain) {
  // The driver adds the LNA's and the mixer's steps in turn until the sum reaches the
  // gain asked for; past the last pair it stays where the steps ended.
  static constexpr int lna_steps[] = {9, 13, 40, 38, 13, 31, 22, 26, 31, 26, 14, 19, 5, 35, 13};
  static constexpr int mixer_steps[] = {5, 10, 10, 19, 9, 10, 25, 17, 10, 8, 16, 13, 6, 3, -8};
  int total = 0;
  for (size_t i = 0; i < std::size(lna_steps); ++i) {
    if (total >= gain) break;
    total += lna_steps[i];
    if (total >= gain) break;
    total += mixer_steps[i];
  }
  return total;
}

uint32_t sim_r820t_crystal(int ppm) {
  return static_cast<uint32_t>(sim_r820t_nominal_crystal * (1.0 + ppm / 1e6));
}

R820tTuning sim_r820t_tuning(uint32_t freq, uint32_t crystal) {
  // The local oscillator sits the IF above the frequency; a divider between 2 and 64
  // must bring it into the VCO's range, and the PLL's integer part must fit.
  constexpr uint32_t vco_min_khz = 1770000, vco_max_khz = 2 * vco_min_khz;
  const uint64_t lo = uint64_t{freq} + sim_r820t_if;
  const uint64_t lo_khz = (lo + 500) / 1000;
  uint64_t divider = 2;
  while (divider <= 64 && !(lo_khz * divider >= vco_min_khz && lo_khz * divider < vco_max_khz)) divider <<= 1;
  const uint64_t integer_part = lo * divider / (2 * uint64_t{crystal});
  if (integer_part > 63) return R820tTuning::no_pll_values;
  return divider <= 64 ? R820tTuning::locked : R820tTuning::unlocked;
}

int sim_effective_gain(const SimDongle& sim) {
  int tuner = sim.tuner_gain_mode == 0 ? sim_auto_gain : sim.tuner_gain;
  return tuner + (sim.agc_mode ? sim_agc_boost : 0);
}

double sim_offset(const SimDongle& sim, double frequency) {
  double tuned = sim.center_freq;
  return frequency - tuned - tuned * (sim_crystal_error_ppm - sim.freq_correction) * 1e-6;
}

void sim_build_scene(SimDongle& sim) {
  sim.scene.resize(static_cast<size_t>(scene_length(sim)) * 2);
  render_scene(sim, 0, sim.scene.size(), sim.scene.data());
  ++sim.scene_builds;
  sim.scene_position %= sim.scene.size();
  sim.scene_position &= ~size_t{1};  // stay on an I byte
  sim.scene_stale = false;
}

int SimDongle::set_bias_tee(Dongle* dev, int on) {
  if (!holds(*this, dev)) return sim_failed_result;
  bias_tee = on != 0;
  return 0;
}

int SimDongle::set_direct_sampling(Dongle* dev, int on) {
  if (!holds(*this, dev)) return sim_failed_result;
  // The tuner is bypassed: the scene, all of it above 100 MHz, is not received.
  direct_sampling = on;
  if (on != 0) {
    sim_driver_message("Enabled direct sampling mode, input %i\n", on);
  } else {
    sim_driver_message("Disabled direct sampling mode\n");
  }
  scene_stale = true;
  return 0;
}

int SimDongle::set_offset_tuning(Dongle* dev, int) {
  if (!holds(*this, dev)) return sim_failed_result;
  return offset_tuning_refused_result;
}

int SimDongle::get_index_by_serial(const char* serial) {
  if (serial == nullptr) return sim_failed_result;
  if (get_device_count() == 0) return sim_no_devices_result;
  return std::strcmp(serial, sim_serial) == 0 ? 0 : sim_serial_not_found_result;
}
