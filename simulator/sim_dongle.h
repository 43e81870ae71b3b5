// A simulated RTL2832U with an R820T tuner, so the whole receiver runs without hardware.
//
// One device ("rxiq", "Simulated RTL2832U", serial "00000001"). The signal is a fixed scene
// in absolute radio frequency, so retuning moves it:
//   - a steady carrier at 145,735,000 Hz and a weaker one at 145,500,000 Hz;
//   - an FM signal at 146,000,000 Hz (3 kHz deviation, 1 kHz tone);
//   - a broadcast-style wide FM station at 145,350,000 Hz (75 kHz deviation, 1 kHz tone);
//   - an APRS packet beacon at 145,715,000 Hz: narrow FM (3 kHz deviation) carrying one
//     AX.25 frame in 1200 baud AFSK (packet_beacon.h), a burst of 0.76 s every 10 s, the
//     first 1 s after the device is opened, and no carrier in between. Its time is the
//     count of samples delivered (carried over a change of rate), so an unpaced stream
//     meets it at the same samples;
//   - white noise.
// The tuner reports and fails as librtlsdr over an R820T does (gain read-back, PLL
// lock, the driver's messages on standard error). The crystal is 48 ppm off: a carrier at f shows at the baseband offset
// f - F - F * (48 - p) * 1e-6 Hz (F tuned, p the correction in effect).
//
// The scene for the current settings is computed once into a table of 0.2 s of samples
// (every component a whole number of cycles long, so the table loops seamlessly) and
// reads copy from it, so the simulator costs next to nothing per block. Any setting that
// changes the signal marks the table for a rebuild at the next read; a short read while
// it is marked (the receiver's discarded start-up read) is computed on its own, so that
// start-up builds the table once.
//
// The beacon does not loop with the table, so its bursts are added to the bytes a read
// delivers; a second table of scene and burst would have every retune render several
// times what the table takes. What a burst adds for the current settings is kept in
// whole byte steps (adding a rounded value to a byte is the same as adding the exact
// value and rounding the sum), computed a piece at a time as reads first reach it: a
// retune costs nothing until the next burst, and every later burst one addition per
// byte. Out of the band the beacon costs nothing at all.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "simulator/packet_beacon.h"
#include "tuner/dongle.h"
#include "tuner/stream_pacer.h"

inline constexpr int32_t sim_carrier_frequency = 145735000;
inline constexpr int32_t sim_second_carrier_frequency = 145500000;
inline constexpr int32_t sim_fm_frequency = 146000000;
inline constexpr double sim_fm_deviation = 3000.0;
inline constexpr double sim_fm_tone = 1000.0;
inline constexpr int32_t sim_broadcast_frequency = 145350000;
inline constexpr double sim_broadcast_deviation = 75000.0;
inline constexpr double sim_broadcast_tone = 1000.0;
inline constexpr int32_t sim_beacon_frequency = 145715000;
inline constexpr double sim_beacon_deviation = 3000.0;
inline constexpr std::chrono::seconds sim_beacon_start{1};    // the first burst, after opening
inline constexpr std::chrono::seconds sim_beacon_period{10};  // from one burst to the next
inline constexpr int32_t sim_crystal_error_ppm = 48;

// At the highest listed gain the strong carrier reaches half of full scale (127.5).
inline constexpr double sim_carrier_amplitude = 63.75;
inline constexpr double sim_second_carrier_amplitude = sim_carrier_amplitude / 4;  // -12 dB
inline constexpr double sim_fm_amplitude = sim_carrier_amplitude / 2;               // -6 dB
// The broadcast station and the beacon, as strong as the weaker carrier, so that every
// signal together stays inside full scale but where their peaks meet.
inline constexpr double sim_station_amplitude = sim_carrier_amplitude / 4;  // -12 dB
inline constexpr double sim_noise_sigma = 2.0;  // per component, at the highest gain
inline constexpr double sim_adc_noise_sigma = 0.5;  // independent of the gain

inline constexpr int sim_auto_gain = 297;  // tenths of a dB: what gain mode 0 acts as
inline constexpr int sim_agc_boost = 60;   // tenths of a dB added while the RTL2832 AGC is on

// The R820T's gain steps, tenths of a dB. Constant data with nothing to destroy at exit,
// when the tuner thread may still be running.
inline constexpr std::array<int, 29> sim_r820t_gains = {
    0,   9,   14,  27,  37,  77,  87,  125, 144, 157, 166, 197, 207, 229, 254,
    280, 297, 328, 338, 364, 372, 386, 402, 421, 434, 439, 445, 480, 496};

// The R820T as librtlsdr drives it: its IF, its crystal, and the frequencies its PLL
// reaches (from about 24.1 MHz to about 1,766 MHz). Below, the driver reports the PLL
// unlocked yet the call succeeds (and nothing is received); above, the call fails.
inline constexpr uint32_t sim_r820t_if = 3570000;
inline constexpr double sim_r820t_nominal_crystal = 28800000.0;
enum class R820tTuning { locked, unlocked, no_pll_values };
R820tTuning sim_r820t_tuning(uint32_t freq, uint32_t crystal);
// The crystal as the driver corrects it for ppm.
uint32_t sim_r820t_crystal(int ppm);
// The tuner's gain, in tenths of a dB, for a gain asked for.
int sim_r820t_gain_for(int gain);

inline constexpr int sim_failed_result = -1;  // what a refused call returns
inline constexpr int sim_same_correction_result = -2;  // the correction asked for is in effect
inline constexpr int sim_no_devices_result = -2;       // get_index_by_serial with no dongle
inline constexpr int sim_serial_not_found_result = -3;

// What librtlsdr writes to standard error, written the same way, so that a transcript
// on the simulator reads as one on a dongle.
void sim_driver_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct SimDongle : DongleApi {
  // paced: reads return when their last sample would have arrived (the user-facing
  // simulator); unpaced reads return at once, for tests.
  SimDongle(const DongleChoice& choice, bool paced);

  uint32_t get_device_count() override;
  const char* get_device_name(uint32_t index) override;
  int get_device_usb_strings(uint32_t index, char* manufact, char* product,
                             char* serial) override;
  int open(Dongle** dev, uint32_t index) override;
  int close(Dongle* dev) override;
  int set_tuner_gain_mode(Dongle* dev, int manual) override;
  int get_tuner_gains(Dongle* dev, int* gains) override;
  int set_tuner_gain(Dongle* dev, int gain) override;
  int get_tuner_gain(Dongle* dev) override;
  int set_agc_mode(Dongle* dev, int on) override;
  int get_offset_tuning(Dongle* dev) override;
  int get_tuner_type(Dongle* dev) override;
  int set_center_freq(Dongle* dev, uint32_t freq) override;
  int set_sample_rate(Dongle* dev, uint32_t rate) override;
  int set_freq_correction(Dongle* dev, int ppm) override;
  int get_freq_correction(Dongle* dev) override;
  int reset_buffer(Dongle* dev) override;
  int read_sync(Dongle* dev, void* buf, int len, int* n_read) override;
  int set_bias_tee(Dongle* dev, int on) override;
  int set_direct_sampling(Dongle* dev, int on) override;
  int set_offset_tuning(Dongle* dev, int on) override;
  int get_index_by_serial(const char* serial) override;

  // Called at the start of every read with its number (the first read is 1), before the
  // read delivers anything: a test drives the receiver from here, as keys pressed while a
  // read is in progress.
  std::function<void(int64_t read_number)> on_read;

  int64_t reads = 0;

  // Configuration.
  DongleChoice choice;
  bool paced;

  // Device state.
  bool is_open = false;
  int tuner_gain_mode = 0;  // 0 automatic, 1 and 2 manual
  int tuner_gain = 0;       // tenths of a dB, the gain the tuner applies
  int asked_gain = 0;       // what get_tuner_gain reports: the gain last asked for
  bool pll_locked = true;   // false after a frequency below the PLL's reach
  bool bias_tee = false;
  int direct_sampling = 0;
  bool unplugged = false;  // a read has found the dongle gone
  bool replugged = false;  // it came back and stays
  int64_t looks_while_gone = 0;
  int agc_mode = 0;
  uint32_t center_freq = 0;
  uint32_t sample_rate = 2048000;
  int freq_correction = 0;

  // The scene table: interleaved I/Q bytes for the settings above.
  std::vector<uint8_t> scene;
  bool scene_stale = true;
  size_t scene_position = 0;  // byte offset of the next read
  int64_t scene_builds = 0;   // tables built so far

  // Pacing: the time the stream (re)started and the bytes delivered since.
  StreamPacer pacer;  // paced reads only

  // The beacon: the bytes delivered since the device was opened, counted within the
  // beacon's period, and what a burst adds to the bytes for the current settings (empty
  // while the beacon is out of the band), filled a piece at a time.
  AfskSignal beacon = beacon_signal();
  int64_t beacon_clock = 0;
  std::vector<int8_t> beacon_burst;
  std::vector<uint8_t> beacon_pieces_done;
  bool beacon_stale = true;

  // What the device handle points at.
  char handle_record = 0;
};

// The choice of a simulated dongle with the given failure (from read number `read` on,
// for the failures that take one).
inline DongleChoice sim_dongle_choice(SimFailure failure = SimFailure::none, int64_t read = 0) {
  DongleChoice c;
  c.kind = DongleKind::sim;
  c.failure = failure;
  c.failure_read = read;
  return c;
}

// The gain in effect in tenths of a dB: the tuner's (29.7 dB in automatic mode) plus the
// AGC's boost.
int sim_effective_gain(const SimDongle& sim);

// Baseband offset in Hz of a carrier at frequency on the simulated dongle's settings.
double sim_offset(const SimDongle& sim, double frequency);

// Adds `count` signed steps to as many bytes, each sum stopping at 0 or 255: how a burst
// of the beacon joins the scene's bytes.
void sim_add_clamped(uint8_t* bytes, const int8_t* steps, size_t count);

// Fills the scene table for the current settings.
void sim_build_scene(SimDongle& sim);
