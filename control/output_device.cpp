#include "control/output_device.h"

#include "control/command_line.h"

std::string fold_case(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    auto& c = reinterpret_cast<unsigned char&>(out[i]);
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<unsigned char>(c + ('a' - 'A'));
      continue;
    }
    if (i + 1 >= out.size()) continue;
    auto& next = reinterpret_cast<unsigned char&>(out[i + 1]);
    // UTF-8 Cyrillic: А-П (D0 90-9F) to а-п (D0 B0-BF), Р-Я (D0 A0-AF) to р-я (D1
    // 80-8F), Ё (D0 81) to ё (D1 91).
    if (c == 0xD0 && next >= 0x90 && next <= 0x9F) {
      next = static_cast<unsigned char>(next + 0x20);
    } else if (c == 0xD0 && next >= 0xA0 && next <= 0xAF) {
      c = 0xD1;
      next = static_cast<unsigned char>(next - 0x20);
    } else if (c == 0xD0 && next == 0x81) {
      c = 0xD1;
      next = 0x91;
    }
    if (c >= 0xC0) ++i;  // past the sequence's second byte
  }
  return out;
}

namespace {

std::string candidate_lines(const std::vector<std::string>& names, const std::vector<int32_t>& ids) {
  std::string lines;
  for (const int32_t id : ids) {
    lines += "\n  " + std::to_string(id) + "  " + typed_name(names[static_cast<size_t>(id)]);
  }
  return lines;
}

}  // namespace

bool find_output_device(const std::vector<std::string>& names, std::string_view wanted,
                        int32_t& id, std::string& error) {
  const std::string folded = fold_case(wanted);
  std::vector<int32_t> exact, partial, all;
  for (size_t i = 0; i < names.size(); ++i) {
    const auto at = static_cast<int32_t>(i);
    const std::string name = fold_case(names[i]);
    all.push_back(at);
    if (name == folded) exact.push_back(at);
    if (!folded.empty() && name.find(folded) != std::string::npos) partial.push_back(at);
  }
  const std::vector<int32_t>& chosen = exact.empty() ? partial : exact;
  if (chosen.size() == 1) {
    id = chosen.front();
    return true;
  }
  // Appended piece by piece: GCC 12 takes "'" + std::string(...) for an overlapping copy.
  error.clear();
  if (chosen.empty()) {
    error.append("no output device's name contains '").append(wanted).append("'; the output devices are:");
    error.append(all.empty() ? std::string("\n  (none)") : candidate_lines(names, all));
  } else {
    error.append("'").append(wanted).append("' names more than one output device; give more of its name, or its id:");
    error.append(candidate_lines(names, chosen));
  }
  return false;
}

std::string typed_name(const std::string& name) {
  if (!name.empty() && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789._,:+-/@%=") == std::string::npos) {
    return name;
  }
  std::string quoted = "\"";
  for (const char c : name) {
    // Inside double quotes a POSIX shell still reads these four.
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

bool choose_output_devices(WaveBackend& backend, ReceiverOptions& options, std::string& error) {
  if (options.device_name.empty() && options.listen_device_name.empty()) return true;
  const std::vector<std::string> names = backend.device_names(WaveDirection::playback);
  std::string reason;
  if (!options.device_name.empty() && !find_output_device(names, options.device_name, options.device, reason)) {
    error = "--device: " + reason;
    return false;
  }
  if (!options.listen_device_name.empty() &&
      !find_output_device(names, options.listen_device_name, options.listen_device, reason)) {
    error = "--listen-device: " + reason;
    return false;
  }
  return true;
}
