#include "control/listening.h"

#include <cstdio>
#include <cstdlib>

std::string listening_text(ListenMode mode, int32_t offset_hz) {
  return std::string("Listening: ") + listen_mode_label(mode) + " at " + std::to_string(offset_hz) + " Hz";
}

std::string squelch_text(int32_t tenths) {
  if (tenths == squelch_off) return "Squelch off";
  char text[32];
  // Tenths printed as integers, so that no locale's decimal comma comes in.
  std::snprintf(text, sizeof text, "Squelch %s%d.%d dB", tenths < 0 ? "-" : "", std::abs(tenths) / 10,
                std::abs(tenths) % 10);
  return text;
}

int32_t squelch_after_key(int32_t tenths, bool up) {
  if (tenths == squelch_off) return up ? squelch_key_start_tenths : squelch_off;
  if (up) return tenths + squelch_key_step_tenths > squelch_max_tenths ? squelch_max_tenths
                                                                      : tenths + squelch_key_step_tenths;
  return tenths - squelch_key_step_tenths < squelch_min_tenths ? squelch_off : tenths - squelch_key_step_tenths;
}

bool listen_mode_fits(const Variant& variant, ListenMode mode, int32_t offset_hz) {
  return mode != ListenMode::off &&
         std::llabs(static_cast<long long>(offset_hz)) <= listen_offset_limit(variant, mode);
}

ListenMode next_listen_mode(const Variant& variant, ListenMode mode, int32_t offset_hz) {
  int32_t at = static_cast<int32_t>(mode);
  for (int k = 1; k < listen_mode_count; ++k) {
    at = at + 1 < listen_mode_count ? at + 1 : 1;  // past lsb comes fm; off is never chosen
    const ListenMode candidate = static_cast<ListenMode>(at);
    if (candidate == mode) break;
    if (listen_mode_fits(variant, candidate, offset_hz)) return candidate;
  }
  return mode;
}
