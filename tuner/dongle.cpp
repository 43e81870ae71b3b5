#include "tuner/dongle.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "tuner/rtl_tcp.h"

namespace {

// A read number after "=": decimal digits only, from 1 up.
bool parse_read_number(const char* text, int64_t& number) {
  if (*text == '\0' || std::strlen(text) > 18) return false;
  int64_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
  }
  if (value < 1) return false;
  number = value;
  return true;
}

// A whole number of Hz or samples per second, 1 to 4,294,967,295.
bool parse_hz(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < 1 || v > UINT32_MAX) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

// "PATH[,rate=N][,freq=HZ][,loop]": the options are taken from the end, so a path may hold
// commas of its own.
bool parse_file_choice(const std::string& text, DongleChoice& choice) {
  std::string path = text;
  while (true) {
    const size_t comma = path.rfind(',');
    if (comma == std::string::npos) break;
    const std::string option = path.substr(comma + 1);
    if (option == "loop") {
      choice.file_loop = true;
    } else if (option.rfind("rate=", 0) == 0) {
      if (!parse_hz(option.substr(5), choice.file_rate)) return false;
    } else if (option.rfind("freq=", 0) == 0) {
      if (!parse_hz(option.substr(5), choice.file_frequency)) return false;
    } else {
      break;
    }
    path.resize(comma);
  }
  if (path.empty()) return false;
  choice.path = path;
  choice.kind = DongleKind::file;
  return true;
}

}  // namespace

bool parse_dongle_choice(const char* text, DongleChoice& choice) {
  choice = DongleChoice{};
  if (text == nullptr || *text == '\0') return true;
  struct Plain {
    const char* name;
    SimFailure failure;
  };
  static const Plain plain[] = {{"sim", SimFailure::none},
                                {"sim:none", SimFailure::no_device},
                                {"sim:fail-open", SimFailure::fail_open},
                                {"sim:fail-freq", SimFailure::fail_freq},
                                {"sim:fail-rate", SimFailure::fail_rate}};
  for (const Plain& p : plain) {
    if (std::strcmp(text, p.name) == 0) {
      choice.kind = DongleKind::sim;
      choice.failure = p.failure;
      return true;
    }
  }
  if (std::strncmp(text, "tcp:", 4) == 0) {
    if (!parse_host_port(text + 4, rtl_tcp_default_port, false, choice.host, choice.port)) {
      choice = DongleChoice{};
      return false;
    }
    choice.kind = DongleKind::tcp;
    return true;
  }
  if (std::strncmp(text, "file:", 5) == 0) {
    if (!parse_file_choice(text + 5, choice)) {
      choice = DongleChoice{};
      return false;
    }
    return true;
  }
  struct Numbered {
    const char* prefix;
    SimFailure failure;
  };
  static const Numbered numbered[] = {{"sim:fail-read=", SimFailure::fail_read},
                                      {"sim:unplug=", SimFailure::unplug}};
  for (const Numbered& n : numbered) {
    size_t prefix = std::strlen(n.prefix);
    int64_t number = 0;
    // sim:unplug=N,replug=K: the dongle is listed again at the K-th look for it.
    std::string value = text + std::min(prefix, std::strlen(text));
    constexpr std::string_view replug = ",replug=";
    if (const size_t at = value.find(replug); n.failure == SimFailure::unplug && at != std::string::npos) {
      if (!parse_read_number(value.c_str() + at + replug.size(), choice.replug_look)) return false;
      value.resize(at);
    }
    if (std::strncmp(text, n.prefix, prefix) == 0 && parse_read_number(value.c_str(), number)) {
      choice.kind = DongleKind::sim;
      choice.failure = n.failure;
      choice.failure_read = number;
      return true;
    }
  }
  return false;
}
