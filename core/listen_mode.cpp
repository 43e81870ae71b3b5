#include "core/listen_mode.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

struct ModeNames {
  ListenMode mode;
  const char* name;
  const char* label;
};

constexpr ModeNames mode_names[] = {
    {ListenMode::off, "off", "OFF"}, {ListenMode::fm, "fm", "FM"},   {ListenMode::wfm, "wfm", "WFM"},
    {ListenMode::am, "am", "AM"},    {ListenMode::usb, "usb", "USB"}, {ListenMode::lsb, "lsb", "LSB"}};

// The share of a band, each side of its centre, that its filter passes cleanly: the
// baseband's channel filter is 6 dB down at the edge of its output rate, and aliases
// fold into the last fifth of it.
constexpr double clean_band_share = 0.8;

// Each mode's reach either side of its centre: the FM channel's filter edge, the AM
// channel's, the far edge of an SSB passband with its filter's margin, a broadcast
// station's 200 kHz raster.
int32_t channel_half_width(ListenMode mode) {
  switch (mode) {
    case ListenMode::fm: return 8000;
    case ListenMode::am: return 4500;
    case ListenMode::usb:
    case ListenMode::lsb: return 3000;
    case ListenMode::wfm: return 100000;
    case ListenMode::off: break;
  }
  return 0;
}

bool parse_int(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  if (text.front() == '+') text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

const char* listen_mode_name(ListenMode mode) {
  for (const ModeNames& m : mode_names) {
    if (m.mode == mode) return m.name;
  }
  return "off";
}

const char* listen_mode_label(ListenMode mode) {
  for (const ModeNames& m : mode_names) {
    if (m.mode == mode) return m.label;
  }
  return "OFF";
}

bool parse_listen_choice(std::string_view text, ListenChoice& choice, std::string& error) {
  const size_t at = text.find('@');
  const std::string_view name = text.substr(0, at);
  ListenChoice read;
  bool known = false;
  for (const ModeNames& m : mode_names) {
    if (m.mode != ListenMode::off && name == m.name) {
      read.mode = m.mode;
      known = true;
    }
  }
  if (!known) {
    error = "unknown listening mode '" + std::string(name) + "' (fm, wfm, am, usb or lsb)";
    return false;
  }
  if (at != std::string_view::npos) {
    int64_t offset = 0;
    const std::string_view offset_text = text.substr(at + 1);
    if (!parse_int(offset_text, offset) || offset < INT32_MIN || offset > INT32_MAX) {
      error = "the offset '" + std::string(offset_text) + "' is not a whole number of Hz";
      return false;
    }
    read.offset_hz = static_cast<int32_t>(offset);
  }
  choice = read;
  return true;
}

int32_t listen_offset_limit(const Variant& variant, ListenMode mode) {
  // wfm is taken from the dongle's stream, the others from the baseband.
  const double band_rate = mode == ListenMode::wfm ? variant.sample_rate : variant.frame_rate;
  const double clean_half = band_rate / 2 * clean_band_share;
  const double limit = clean_half - channel_half_width(mode);
  return limit > 0 ? static_cast<int32_t>(limit) : 0;
}

bool listen_choice_fits(const Variant& variant, const ListenChoice& choice, std::string& error) {
  const int32_t limit = listen_offset_limit(variant, choice.mode);
  if (std::llabs(static_cast<long long>(choice.offset_hz)) <= limit) return true;
  error = std::string("the offset ") + std::to_string(choice.offset_hz) + " Hz is outside what " +
          listen_mode_name(choice.mode) + " can take from " +
          (choice.mode == ListenMode::wfm ? "the dongle's band" : "the baseband") + " in " +
          variant.program_name + " (at most " + std::to_string(limit) + " Hz either side)";
  return false;
}

bool parse_squelch_text(std::string_view text, int32_t& tenths) {
  if (text == "off") {
    tenths = squelch_off;
    return true;
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  // from_chars reads the same whatever the locale's decimal point.
  double db = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), db);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(db)) return false;
  const double rounded = std::round(db * 10.0);
  if (rounded < squelch_min_tenths || rounded > squelch_max_tenths) return false;
  tenths = static_cast<int32_t>(rounded);
  return true;
}

bool apply_deemphasis_text(std::string_view text, int32_t& fm_us, int32_t& wfm_us) {
  int64_t us = 0;
  if (!parse_int(text, us)) return false;
  if (us == 0) {
    fm_us = 0;
    wfm_us = 0;
  } else if (us == fm_deemphasis_voice_us) {
    fm_us = fm_deemphasis_voice_us;
  } else if (us == wfm_deemphasis_default_us || us == wfm_deemphasis_americas_us) {
    wfm_us = static_cast<int32_t>(us);
  } else {
    return false;
  }
  return true;
}
