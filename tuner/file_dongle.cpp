#include "tuner/file_dongle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string_view>
#include <thread>

#include "core/print_console.h"
#include "tuner/rtl_tcp.h"

namespace {

constexpr const char* file_manufacturer = "rxiq file";
constexpr const char* file_serial = "00000001";

// A stream that falls this far behind real time starts afresh instead of bursting.

// The rotation is computed exactly this often and advanced by multiplication in between.
constexpr int64_t exact_phase_interval = 4096;

// What the device lists as gains: an R820T's, so that the gain keys step as usual.
const int* listed_gains(int* count) { return rtl_tcp_tuner_gains(rtl_tcp_tuner_r820t, count); }

void copy_string(char* target, const std::string& text) {
  std::snprintf(target, usb_string_size, "%s", text.c_str());
}

bool holds(const FileDongle& d, Dongle* dev) {
  return d.is_open && dev == reinterpret_cast<const Dongle*>(&d.handle_record);
}

uint8_t to_byte(double v) { return static_cast<uint8_t>(std::clamp(std::floor(v + 0.5), 0.0, 255.0)); }

// The fraction of a turn of shift * n / rate, exactly: both reduced modulo the rate first,
// and multiplied in two halves so that no product passes 2^49.
double turns(int64_t shift, uint32_t rate, int64_t n) {
  const int64_t r = rate;
  const auto s = static_cast<uint64_t>(((shift % r) + r) % r);
  const auto k = static_cast<uint64_t>(((n % r) + r) % r);
  const uint64_t high = s * (k >> 16) % rate;
  const uint64_t product = (high * 65536 + s * (k & 0xFFFF)) % rate;
  return static_cast<double>(product) / static_cast<double>(rate);
}

}  // namespace

void shift_pairs(uint8_t* bytes, size_t pairs, int64_t shift, uint32_t rate, int64_t first) {
  if (shift == 0 || rate == 0) return;
  const double two_pi = 2 * std::numbers::pi;
  const double step = -two_pi * static_cast<double>(shift) / rate;
  const double step_re = std::cos(step), step_im = std::sin(step);
  double re = 1, im = 0;
  for (size_t k = 0; k < pairs; ++k) {
    const int64_t n = first + static_cast<int64_t>(k);
    if (k == 0 || n % exact_phase_interval == 0) {
      const double angle = -two_pi * turns(shift, rate, n);
      re = std::cos(angle);
      im = std::sin(angle);
    }
    const double i = bytes[2 * k] - 127.5, q = bytes[2 * k + 1] - 127.5;
    bytes[2 * k] = to_byte(i * re - q * im + 127.5);
    bytes[2 * k + 1] = to_byte(i * im + q * re + 127.5);
    const double r = re * step_re - im * step_im;
    im = re * step_im + im * step_re;
    re = r;
  }
}

FileDongle::FileDongle(const DongleChoice& c, bool p) : choice(c), paced(p) {
  const size_t slash = choice.path.find_last_of("/\\");
  name = slash == std::string::npos ? choice.path : choice.path.substr(slash + 1);
}

uint32_t FileDongle::get_device_count() { return 1; }

const char* FileDongle::get_device_name(uint32_t index) { return index == 0 ? name.c_str() : ""; }

int FileDongle::get_device_usb_strings(uint32_t index, char* manufact, char* product,
                                       char* serial) {
  if (index != 0) return file_failed_result;
  if (manufact) copy_string(manufact, file_manufacturer);
  if (product) copy_string(product, name);
  if (serial) copy_string(serial, file_serial);
  return 0;
}

int FileDongle::open(Dongle** dev, uint32_t index) {
  if (index != 0 || is_open) return file_failed_result;
  std::string error;
  const RecordingOptions options{choice.file_rate, choice.file_frequency};
  if (!open_recording(choice.path, options, recording, error)) {
    print_console("%s\n", error.c_str());
    return file_failed_result;
  }
  if (!reader.open(recording)) {
    print_console("%s: cannot open it\n", recording.name.c_str());
    return file_failed_result;
  }
  is_open = true;
  ended = false;
  loop_announced = false;
  outside = false;
  sample_index = 0;
  pacer.restart();
  *dev = reinterpret_cast<Dongle*>(&handle_record);
  return 0;
}

int FileDongle::close(Dongle* dev) {
  if (!holds(*this, dev)) return file_failed_result;
  is_open = false;
  return 0;
}

int FileDongle::set_tuner_gain_mode(Dongle* dev, int /*manual*/) {
  return holds(*this, dev) ? 0 : file_failed_result;
}

int FileDongle::get_tuner_gains(Dongle* dev, int* gains) {
  if (!holds(*this, dev)) return file_failed_result;
  int count = 0;
  const int* list = listed_gains(&count);
  if (gains && list) std::copy(list, list + count, gains);
  return count;
}

int FileDongle::set_tuner_gain(Dongle* dev, int gain) {
  if (!holds(*this, dev)) return file_failed_result;
  // The nearest listed gain, as a tuner takes it; the samples stay as recorded.
  int count = 0;
  const int* list = listed_gains(&count);
  if (list == nullptr || count == 0) return 0;
  int best = list[0];
  for (int k = 0; k < count; ++k) {
    if (std::llabs(int64_t{list[k]} - gain) < std::llabs(int64_t{best} - gain)) best = list[k];
  }
  tuner_gain = best;
  return 0;
}

int FileDongle::get_tuner_gain(Dongle* dev) {
  return holds(*this, dev) ? tuner_gain : file_failed_result;
}

int FileDongle::set_agc_mode(Dongle* dev, int /*on*/) {
  return holds(*this, dev) ? 0 : file_failed_result;
}

int FileDongle::get_offset_tuning(Dongle* dev) { return holds(*this, dev) ? 0 : file_failed_result; }

int FileDongle::get_tuner_type(Dongle* dev) {
  return holds(*this, dev) ? static_cast<int>(rtl_tcp_tuner_unknown) : file_failed_result;
}

int FileDongle::set_center_freq(Dongle* dev, uint32_t freq) {
  if (!holds(*this, dev) || freq == 0) return file_failed_result;
  if (recording.frequency == 0) recording.frequency = freq;  // the first tuning is the centre
  center_freq = freq;
  const int64_t shift = int64_t{freq} - int64_t{recording.frequency};
  const bool now_outside = 2 * std::llabs(shift) >= int64_t{recording.rate};
  if (now_outside && !outside) {
    print_console("\nTuned to %u Hz, outside the band of %s (%u Hz +/- %u Hz); shifted all the same\n",
                  freq, recording.name.c_str(), recording.frequency, recording.rate / 2);
  }
  outside = now_outside;
  return 0;
}

int FileDongle::set_sample_rate(Dongle* dev, uint32_t rate) {
  if (!holds(*this, dev)) return file_failed_result;
  if (rate != recording.rate) {
    print_console("%s was recorded at %u samples/s; this receiver reads %u samples/s "
                  "(rxiq12 1200000, rxiq24 2400000)\n",
                  recording.name.c_str(), recording.rate, rate);
    return file_failed_result;
  }
  pacer.restart();
  return 0;
}

int FileDongle::set_freq_correction(Dongle* dev, int ppm) {
  if (!holds(*this, dev)) return file_failed_result;
  freq_correction = ppm;
  return 0;
}

int FileDongle::get_freq_correction(Dongle* dev) {
  return holds(*this, dev) ? freq_correction : file_failed_result;
}

int FileDongle::reset_buffer(Dongle* dev) {
  if (!holds(*this, dev)) return file_failed_result;
  pacer.restart();
  return 0;
}

int FileDongle::read_sync(Dongle* dev, void* buf, int len, int* n_read) {
  const int64_t number = ++reads;
  if (on_read) on_read(number);
  if (n_read) *n_read = 0;
  if (!holds(*this, dev) || len < 0) return file_failed_result;
  if (ended) return dongle_gone_result;

  if (paced) pacer.wait_for(len, recording.rate);

  auto* const out = static_cast<uint8_t*>(buf);
  const size_t pairs = static_cast<size_t>(len) / 2;
  size_t filled = 0;
  bool looped_empty = false;
  while (filled < pairs) {
    const size_t got = reader.read(out + 2 * filled, pairs - filled);
    filled += got;
    if (filled == pairs) break;
    if (got == 0 && looped_empty) {  // the file gives nothing even from its start
      ended = true;
      break;
    }
    if (!choice.file_loop) {
      print_console("\nEnd of recording %s\n", recording.name.c_str());
      ended = true;
      break;
    }
    // Each restart is announced, but that of a recording shorter than a read only once.
    if (!loop_announced || recording.pairs >= pairs) {
      print_console("\nEnd of recording %s: playing it again from the start\n", recording.name.c_str());
      loop_announced = true;
    }
    looped_empty = got == 0;
    reader.rewind();
  }
  if (filled == 0 && ended) return dongle_gone_result;
  // What the recording could not fill (its last block) is silence.
  std::memset(out + 2 * filled, 127, static_cast<size_t>(len) - 2 * filled);
  shift_pairs(out, filled, int64_t{center_freq} - int64_t{recording.frequency}, recording.rate,
              sample_index);
  sample_index += static_cast<int64_t>(filled);
  if (n_read) *n_read = len;
  return 0;
}

// A recording has no hardware to power or switch: the options are refused.
int FileDongle::set_bias_tee(Dongle*, int) { return file_failed_result; }
int FileDongle::set_direct_sampling(Dongle*, int) { return file_failed_result; }
int FileDongle::set_offset_tuning(Dongle*, int) { return file_failed_result; }
int FileDongle::get_index_by_serial(const char* serial) {
  return serial && std::string_view(serial) == file_serial ? 0 : file_failed_result;
}
