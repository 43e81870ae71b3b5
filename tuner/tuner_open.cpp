#include <algorithm>
#include <string>
#include <vector>

#include "core/print_console.h"
#include "tuner/tuner_steps.h"

namespace {

// Reads the tuner's gain list into state.gains without ever writing past it: the count
// is asked for first, the list read into room of that size, and at most max_gains kept.
// Returns the number kept; 0 for an empty list or an error.
int32_t read_gain_list(DongleApi& dongle, Dongle* dev, RxState& state) {
  int listed = dongle.get_tuner_gains(dev, nullptr);
  if (listed <= 0) return 0;
  std::vector<int> gains(static_cast<size_t>(listed));
  int got = dongle.get_tuner_gains(dev, gains.data());
  int32_t kept = std::min({got, listed, max_gains});
  if (kept <= 0) return 0;
  std::copy_n(gains.begin(), kept, state.gains);
  return kept;
}

// The start-up gain, chosen by the gain setting. A gain list that is empty leaves the
// maximum-gain choice with nothing to set.
void set_start_gain(TunerLinks& links, Dongle* dev, int32_t gain_count) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;
  const int32_t gain = s.gain.load();
  if (links.variant.gain_special_values && gain == -1) {
    if (gain_count == 0) return;
    dongle.set_tuner_gain(dev, s.gains[gain_count - 1]);
    print_console("Set max available gain %.2f\n", in_db(dongle.get_tuner_gain(dev)));
  } else if (links.variant.gain_special_values && gain == -2) {
    dongle.set_tuner_gain_mode(dev, 0);
    print_console("Set autogain.\n");
  } else {
    // The gain is in dB and the tuner takes tenths; the product wraps as 32 bits.
    const int tenths = static_cast<int>(static_cast<uint32_t>(gain) * 10u);
    dongle.set_tuner_gain(dev, tenths);
    print_console("\nSet gain to %.2f\n", in_db(dongle.get_tuner_gain(dev)));
  }
}

void list_devices(DongleApi& dongle, uint32_t count) {
  print_console("Found %d devices:\n", static_cast<int>(count));
  char manufact[usb_string_size], product[usb_string_size], serial[usb_string_size];
  for (uint32_t i = 0; i < count; ++i) {
    manufact[0] = product[0] = serial[0] = '\0';
    dongle.get_device_usb_strings(i, manufact, product, serial);
    print_console("\t%d: %s, %s, SN: %s\n", static_cast<int>(i), manufact, product, serial);
  }
}

// The index of the dongle to open: the one with the serial number asked for, else
// dev_index. Negative when no dongle has that serial number.
int32_t chosen_index(TunerLinks& links) {
  RxState& s = links.state;
  const std::string& serial = links.options.serial;
  if (serial.empty()) return s.dev_index.load();
  const int index = links.dongle.get_index_by_serial(serial.c_str());
  if (index < 0) {
    print_console(serial_not_found_format, serial.c_str());
    return -1;
  }
  s.dev_index.store(index);
  return index;
}

// Direct sampling comes before tuning, so that the frequency goes to the RTL2832U
// rather than the tuner.
void apply_direct_sampling(TunerLinks& links, Dongle* dev) {
  const int input = links.options.direct_sampling;
  if (input == 0) return;
  if (links.dongle.set_direct_sampling(dev, input) == 0) {
    print_console(direct_sampling_format, input == 1 ? 'I' : 'Q');
  } else {
    print_console("%s", direct_sampling_failed_text);
  }
}

// Offset tuning comes after the rate, from which librtlsdr computes the offset.
void apply_offset_tuning(TunerLinks& links, Dongle* dev) {
  if (!links.options.offset_tuning) return;
  const int result = links.dongle.set_offset_tuning(dev, 1);
  if (result == 0) {
    print_console("%s", offset_tuning_on_text);
  } else if (result == offset_tuning_refused_result) {
    print_console("%s", offset_tuning_refused_text);
  } else {
    print_console("%s", offset_tuning_failed_text);
  }
}

}  // namespace

void tuner_close(TunerLinks& links, Dongle* dev) {
  if (links.options.bias_tee) links.dongle.set_bias_tee(dev, 0);
  links.dongle.close(dev);
}

Dongle* tuner_open(TunerLinks& links, TunerApplied& applied, uint8_t* read_buffer, std::string& serial) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;

  // Captured before the gain list is read, so the first pass of the loop finds the gain
  // index moved to the top of the list and sets that gain.
  applied.agc_mode = s.agc_mode.load();
  applied.frequency = s.frequency.load();
  applied.gain_index = s.gain_index.load();

  const uint32_t count = dongle.get_device_count();
  if (count == 0) {
    print_console("%s", no_devices_text);
    return nullptr;
  }
  list_devices(dongle, count);

  const int32_t dev_index = chosen_index(links);
  if (dev_index < 0) return nullptr;
  const char* name = dongle.get_device_name(static_cast<uint32_t>(dev_index));
  print_console("Using device %d: %s\n", dev_index, name ? name : "");

  char strings[3][usb_string_size] = {};
  if (dongle.get_device_usb_strings(static_cast<uint32_t>(dev_index), strings[0], strings[1], strings[2]) == 0) {
    serial = strings[2];
  }

  Dongle* dev = nullptr;
  if (dongle.open(&dev, static_cast<uint32_t>(dev_index)) < 0) {
    // Nothing was opened, so there is nothing to close.
    print_console("Failed to open device #%d\n", dev_index);
    return nullptr;
  }
  s.device.store(dev);
  s.tuner_type.store(dongle.get_tuner_type(dev));

  if (links.options.bias_tee) {
    print_console("%s", dongle.set_bias_tee(dev, 1) == 0 ? bias_tee_on_text : bias_tee_failed_text);
  }
  apply_direct_sampling(links, dev);

  if (dongle.set_tuner_gain_mode(dev, 1) != 0) print_console("Failed to set tuner gain mode\n");

  applied.gain_count = read_gain_list(dongle, dev, s);
  s.gain_count.store(applied.gain_count);
  s.gain_index.store(applied.gain_count > 0 ? applied.gain_count - 1 : 0);
  print_console("Supported gains are:");
  for (int32_t i = 0; i < applied.gain_count; ++i) print_console(" %.2f", in_db(s.gains[i]));
  print_console("\n");

  set_start_gain(links, dev, applied.gain_count);

  dongle.set_agc_mode(dev, s.agc_mode.load());
  print_console("offset_tuning = %d\n", dongle.get_offset_tuning(dev));

  const uint32_t frequency = static_cast<uint32_t>(s.frequency.load());
  if (dongle.set_center_freq(dev, frequency) < 0) {
    print_console("Failed to center freq. %u", frequency);
    tuner_close(links, dev);
    return nullptr;
  }
  print_console("Tuned to %u\n", frequency);

  const uint32_t rate = static_cast<uint32_t>(links.variant.sample_rate);
  if (dongle.set_sample_rate(dev, rate) < 0) {
    print_console("Failed to sample rate %u", rate);
    tuner_close(links, dev);
    return nullptr;
  }
  apply_offset_tuning(links, dev);

  if (dongle.reset_buffer(dev) < 0) print_console("Failed to reset buffer.\n");

  int n_read = 0;
  dongle.read_sync(dev, read_buffer, discarded_read_bytes, &n_read);

  dongle.set_freq_correction(dev, s.ppm_error.load());
  print_console("ppm = %d\n", dongle.get_freq_correction(dev));
  return dev;
}

Dongle* tuner_reopen(TunerLinks& links, TunerApplied& applied, uint8_t* read_buffer, const std::string& serial) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;
  if (dongle.get_device_count() == 0) return nullptr;
  int32_t index = s.dev_index.load();
  if (!serial.empty() && !dongle.across_network()) {
    index = dongle.get_index_by_serial(serial.c_str());
    if (index < 0) return nullptr;
  }
  Dongle* dev = nullptr;
  if (dongle.open(&dev, static_cast<uint32_t>(index)) < 0) return nullptr;
  s.device.store(dev);

  // What is in force now, which may differ from what was when it went.
  applied.tuner_gain_mode = s.tuner_gain_mode.load();
  applied.gain_index = s.gain_index.load();
  applied.agc_mode = s.agc_mode.load();
  applied.frequency = s.frequency.load();
  if (links.options.bias_tee) dongle.set_bias_tee(dev, 1);
  if (links.options.direct_sampling != 0) dongle.set_direct_sampling(dev, links.options.direct_sampling);
  dongle.set_tuner_gain_mode(dev, applied.tuner_gain_mode);
  // A manual mode starts at 0 dB: the gain shown goes after it.
  if (applied.tuner_gain_mode != 0 && applied.gain_index >= 0 && applied.gain_index < applied.gain_count) {
    dongle.set_tuner_gain(dev, s.gains[applied.gain_index]);
  }
  dongle.set_agc_mode(dev, applied.agc_mode);
  const auto frequency = static_cast<uint32_t>(applied.frequency);
  if (dongle.set_center_freq(dev, frequency) < 0) print_console("\nFailed to center freq. %u\n", frequency);
  const auto rate = static_cast<uint32_t>(links.variant.sample_rate);
  if (dongle.set_sample_rate(dev, rate) < 0) {
    // Nothing can be read at another rate: it counts as not back yet.
    tuner_close(links, dev);
    return nullptr;
  }
  if (links.options.offset_tuning) dongle.set_offset_tuning(dev, 1);
  dongle.reset_buffer(dev);
  int n_read = 0;
  dongle.read_sync(dev, read_buffer, discarded_read_bytes, &n_read);
  dongle.set_freq_correction(dev, s.ppm_error.load());
  print_console(dongle_back_format, frequency);
  return dev;
}
