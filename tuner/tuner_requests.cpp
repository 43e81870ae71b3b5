#include "core/print_console.h"
#include "tuner/tuner_steps.h"

void tuner_apply_requests(TunerLinks& links, Dongle* dev, TunerApplied& applied, bool first_pass) {
  RxState& s = links.state;
  DongleApi& dongle = links.dongle;

  const int32_t frequency_now = s.frequency.load();
  if (frequency_now != applied.frequency) {
    applied.frequency = frequency_now;
    if (dongle.set_center_freq(dev, static_cast<uint32_t>(frequency_now)) < 0) {
      print_console("\nFailed to center freq. %u\n", static_cast<uint32_t>(frequency_now));
    } else if (links.retuned) {
      // The blocks stored so far were read at the old frequency; the next one is the first
      // at the new. Only this thread stores, so the count is exact.
      links.retuned(links.tap_context, links.ring.ring_stores.load(std::memory_order_relaxed),
                    static_cast<uint32_t>(frequency_now));
    }
  }

  const int32_t mode = s.tuner_gain_mode.load();
  if (first_pass) applied.tuner_gain_mode = mode;
  if (mode != applied.tuner_gain_mode) {
    applied.tuner_gain_mode = mode;
    dongle.set_tuner_gain_mode(dev, mode);
    // The message's "\t" before "uner" is the receiver's own wording, kept as it is.
    print_console("\tuner_gain_mode = %d                         \n", mode);
    // librtlsdr puts an R820T's manual gain to 0 dB whenever a manual mode is chosen, so
    // the gain the receiver shows is sent again; the gain check below does that.
    if (mode != 0) applied.gain_index = gain_not_applied;
  }

  const int32_t index = s.gain_index.load();
  if (index != applied.gain_index) {
    applied.gain_index = index;
    if (index >= 0 && index < applied.gain_count) {
      dongle.set_tuner_gain(dev, s.gains[index]);
      print_console("Set gain \n%.2f\n", in_db(dongle.get_tuner_gain(dev)));
    }
  }

  const int32_t agc = s.agc_mode.load();
  if (agc != applied.agc_mode) {
    applied.agc_mode = agc;
    dongle.set_agc_mode(dev, agc);
    // The AGC state is printed under the name offset_tuning: the receiver's own message.
    print_console("\noffset_tuning = %d                         \n", agc);
  }
}
