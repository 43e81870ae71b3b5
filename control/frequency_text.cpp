#include "control/frequency_text.h"

namespace {

// The power of ten a suffix stands for, or -1 for no suffix letter.
int suffix_exponent(char c) {
  switch (c) {
    case 'k': case 'K': return 3;
    case 'm': case 'M': return 6;
    case 'g': case 'G': return 9;
    default: return -1;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parse_frequency_text(std::string_view text, uint32_t& hz) {
  int exponent = 0;
  if (!text.empty() && suffix_exponent(text.back()) >= 0) {
    exponent = suffix_exponent(text.back());
    text.remove_suffix(1);
  }
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  for (char c : whole) if (!is_digit(c)) return false;
  for (char c : fraction) if (!is_digit(c)) return false;

  // Exact decimal arithmetic: the whole part and the fraction's first `exponent` digits
  // give Hz; the next digit rounds (half up). Every step is checked against the limit,
  // which also keeps the sum far from wrapping.
  uint64_t value = 0;
  auto push = [&](char digit) {
    value = value * 10 + static_cast<uint64_t>(digit - '0');
    return value <= max_frequency_hz;
  };
  for (char c : whole) if (!push(c)) return false;
  for (int k = 0; k < exponent; ++k) {
    if (!push(static_cast<size_t>(k) < fraction.size() ? fraction[static_cast<size_t>(k)] : '0')) return false;
  }
  if (static_cast<size_t>(exponent) < fraction.size() && fraction[static_cast<size_t>(exponent)] >= '5') {
    ++value;
  }
  if (value > max_frequency_hz) return false;
  hz = static_cast<uint32_t>(value);
  return true;
}
