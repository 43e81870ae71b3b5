// A recording played back as a dongle (RXIQ_DONGLE=file:PATH[,rate=N][,freq=HZ][,loop]).
//
// One device, named after the file. Opening reads the recording's description
// (recording/recording.h) and fails, with the reason printed, if the file cannot be
// played; setting a sample rate other than the recording's fails with both rates printed.
// Gains and the frequency correction are accepted and change nothing.
//
// The recording is fixed in radio frequency, as the simulated dongle's scene is: tuned to
// F, a carrier recorded at f shows at the baseband offset f - F, so each pair is turned
// by exp(-j 2 pi (F - R) n / rate) (R the recording's centre). Tuned to its centre, the
// recording's bytes come out unchanged. A recording that does not say its centre takes
// the first frequency tuned as its centre.
//
// At the end of the recording it starts again with ,loop; otherwise reads fail as those
// of an unplugged dongle do. Both are announced on the console.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "recording/recording.h"
#include "tuner/dongle.h"
#include "tuner/stream_pacer.h"

inline constexpr int file_failed_result = -1;

struct FileDongle : DongleApi {
  // paced: reads return when their last sample would have arrived, as a dongle's do;
  // unpaced reads return at once, for tests.
  FileDongle(const DongleChoice& choice, bool paced);

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
  bool comes_back() const override { return false; }

  // Called at the start of every read with its number (the first read is 1): a test
  // drives the receiver from here.
  std::function<void(int64_t read_number)> on_read;
  int64_t reads = 0;

  DongleChoice choice;
  bool paced;

  std::string name;  // the file's name, as the device's
  RecordingInfo recording;
  RecordingReader reader;
  bool is_open = false;
  bool ended = false;  // the end was reached without ,loop
  bool loop_announced = false;
  int tuner_gain = 0;
  int freq_correction = 0;
  uint32_t center_freq = 0;
  bool outside = false;  // tuned so far that the recording's band is left
  int64_t sample_index = 0;  // pairs delivered, the clock of the shift's rotation

  StreamPacer pacer;  // paced reads only

  char handle_record = 0;
};

// Turns `pairs` unsigned pairs by exp(-j 2 pi shift (first + n) / rate), rounded back to
// bytes; a shift of 0 leaves them as they are.
void shift_pairs(uint8_t* bytes, size_t pairs, int64_t shift, uint32_t rate, int64_t first);
