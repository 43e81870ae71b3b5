#include "faults.h"

#include <cstdlib>

namespace {

bool number(std::string_view text, double& out) {
  std::string copy(text);
  char* end = nullptr;
  out = std::strtod(copy.c_str(), &end);
  return !copy.empty() && end && *end == '\0' && out >= 0;
}

}  // namespace

Faults parse_faults(std::string_view text) {
  Faults faults;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view entry = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    const size_t equals = entry.find('=');
    const std::string_view name = entry.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
    double n = 0;
    bool understood = true;
    if (equals == std::string_view::npos) {
      if (name == "no-device") faults.no_device = true;
      else if (name == "busy") faults.busy = true;
      else if (name == "access") faults.access = true;
      else if (name == "kernel-driver") faults.kernel_driver = true;
      else understood = false;
    } else if (!number(value, n)) {
      understood = false;
    } else if (name == "read-error" && n >= 1) {
      faults.read_error = static_cast<long>(n);
    } else if (name == "unplug") {
      faults.unplug_s = n;
    } else if (name == "replug") {
      faults.replug_s = n;
    } else {
      understood = false;
    }
    if (!understood) {
      if (!faults.problem.empty()) faults.problem += ", ";
      faults.problem += std::string(entry);
    }
  }
  if (faults.replug_s >= 0 && faults.unplug_s < 0) {
    if (!faults.problem.empty()) faults.problem += ", ";
    faults.problem += "replug without unplug";
    faults.replug_s = -1;
  }
  return faults;
}
