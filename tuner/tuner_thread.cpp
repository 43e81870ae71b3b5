#include "tuner/tuner_thread.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/print_console.h"

namespace {

double in_db(int tenths) { return tenths * 0.1; }

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

}  // namespace

int tuner_thread(TunerLinks links) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;

  // Captured before the gain list is read, so the first pass of the loop finds the gain
  // index moved to the top of the list and sets that gain.
  int32_t applied_agc_mode = s.agc_mode.load();
  int32_t applied_frequency = s.frequency.load();
  int32_t applied_gain_index = s.gain_index.load();
  int32_t applied_tuner_gain_mode = 0;  // captured on the first pass

  // A dongle that waits on the network lets go once running is cleared.
  dongle.watch_running(&s.running);

  // The filter is ready whatever becomes of the dongle.
  fir_init_channel(links.filter, links.variant);

  // Zeroed, so that a block stored after a failed read never carries uninitialised bytes.
  std::unique_ptr<uint8_t[]> read_buffer(new uint8_t[read_block_bytes]());

  const uint32_t count = dongle.get_device_count();
  if (count == 0) {
    print_console("%s", no_devices_text);
    return 0;
  }
  print_console("Found %d devices:\n", static_cast<int>(count));
  char manufact[usb_string_size], product[usb_string_size], serial[usb_string_size];
  for (uint32_t i = 0; i < count; ++i) {
    manufact[0] = product[0] = serial[0] = '\0';
    dongle.get_device_usb_strings(i, manufact, product, serial);
    print_console("\t%d: %s, %s, SN: %s\n", static_cast<int>(i), manufact, product, serial);
  }

  const int32_t dev_index = s.dev_index.load();
  const char* name = dongle.get_device_name(static_cast<uint32_t>(dev_index));
  print_console("Using device %d: %s\n", dev_index, name ? name : "");

  Dongle* dev = nullptr;
  if (dongle.open(&dev, static_cast<uint32_t>(dev_index)) < 0) {
    // Nothing was opened, so there is nothing to close.
    print_console("Failed to open device #%d\n", dev_index);
    return 0;
  }
  s.device.store(dev);

  // From here on every way out closes the dongle.
  auto finish = [&]() {
    dongle.close(dev);
    return 0;
  };

  if (dongle.set_tuner_gain_mode(dev, 1) != 0) print_console("Failed to set tuner gain mode\n");

  const int32_t gain_count = read_gain_list(dongle, dev, s);
  s.gain_count.store(gain_count);
  s.gain_index.store(gain_count > 0 ? gain_count - 1 : 0);
  print_console("Supported gains are:");
  for (int32_t i = 0; i < gain_count; ++i) print_console(" %.2f", in_db(s.gains[i]));
  print_console("\n");

  set_start_gain(links, dev, gain_count);

  dongle.set_agc_mode(dev, s.agc_mode.load());
  print_console("offset_tuning = %d\n", dongle.get_offset_tuning(dev));

  const uint32_t frequency = static_cast<uint32_t>(s.frequency.load());
  if (dongle.set_center_freq(dev, frequency) < 0) {
    print_console("Failed to center freq. %u", frequency);
    return finish();
  }
  print_console("Tuned to %u\n", frequency);

  const uint32_t rate = static_cast<uint32_t>(links.variant.sample_rate);
  if (dongle.set_sample_rate(dev, rate) < 0) {
    print_console("Failed to sample rate %u", rate);
    return finish();
  }

  if (dongle.reset_buffer(dev) < 0) print_console("Failed to reset buffer.\n");

  int n_read = 0;
  dongle.read_sync(dev, read_buffer.get(), discarded_read_bytes, &n_read);

  dongle.set_freq_correction(dev, s.ppm_error.load());
  print_console("ppm = %d\n", dongle.get_freq_correction(dev));

  if (links.start_dsp) links.start_dsp();
  print_console("Type V for user interface\n");

  bool first_pass = true;
  int32_t failed_in_row = 0;
  while (s.running.load() != 0) {
    const int result = dongle.read_sync(dev, read_buffer.get(), read_block_bytes, &n_read);
    if (result < 0) {
      // A gone dongle fails every read at once: stop as on shutdown rather than spin,
      // flood the console and feed the same stale block without end.
      if (result == dongle_gone_result || ++failed_in_row >= gone_after_failed_reads) {
        print_console("%s", dongle_gone_text);
        break;
      }
      print_console("sync_read failed.");
    } else {
      failed_in_row = 0;
    }
    ring_store(links.ring, read_buffer.get());
    if (links.ring_stored && ring_wake_due(links.ring)) wake_event_set(*links.ring_stored);

    const int32_t frequency_now = s.frequency.load();
    if (frequency_now != applied_frequency) {
      // Not retried on failure: the applied copy already holds the new value.
      applied_frequency = frequency_now;
      if (dongle.set_center_freq(dev, static_cast<uint32_t>(frequency_now)) < 0) {
        print_console("\nFailed to center freq. %u\n", static_cast<uint32_t>(frequency_now));
      }
    }

    const int32_t mode = s.tuner_gain_mode.load();
    if (first_pass) applied_tuner_gain_mode = mode;
    if (mode != applied_tuner_gain_mode) {
      applied_tuner_gain_mode = mode;
      dongle.set_tuner_gain_mode(dev, mode);
      print_console("\tuner_gain_mode = %d                         \n", mode);
    }

    const int32_t index = s.gain_index.load();
    if (index != applied_gain_index) {
      applied_gain_index = index;
      if (index >= 0 && index < gain_count) {
        dongle.set_tuner_gain(dev, s.gains[index]);
        print_console("Set gain \n%.2f\n", in_db(dongle.get_tuner_gain(dev)));
      }
    }

    const int32_t agc = s.agc_mode.load();
    if (agc != applied_agc_mode) {
      applied_agc_mode = agc;
      dongle.set_agc_mode(dev, agc);
      print_console("\noffset_tuning = %d                         \n", agc);
    }
    first_pass = false;
  }

  s.stream_stop.store(1);
  if (links.ring_stored) wake_event_set(*links.ring_stored);
  return finish();
}
