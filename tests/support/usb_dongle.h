// The USB-level dongle emulator (tests/support/usb_dongle/) from a test's side: where it
// is built, the environment that puts it under a child's real librtlsdr, starting such a
// child, and reading back the record it keeps.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"

inline std::string usb_dongle_library() { return std::string(RXIQ_BINARY_DIR) + "/librxiq_usb_dongle.so"; }

struct UsbDongleOptions {
  std::string record;       // RXIQ_USB_RECORD: the record file ("" for none)
  std::string fault;        // RXIQ_USB_FAULT, e.g. "unplug=2,replug=1"
  std::string serial;       // RXIQ_USB_SERIAL ("" for the default 00000001)
  double carrier_hz = 0;    // RXIQ_USB_CARRIER (0 for the default 145735000)
  double crystal_ppm = 0;   // RXIQ_USB_PPM: the emulated crystal's error
  std::string presence;     // RXIQ_USB_PRESENCE: the file that unplugs the device at will
};

// The variables to set, as NAME=VALUE. RXIQ_DONGLE is left out of a child's environment
// (see usb_dongle_environment) so that the receiver takes the real librtlsdr; AddressSanitizer
// builds must accept a preloaded library ahead of their runtime.
inline std::vector<std::string> usb_dongle_variables(const UsbDongleOptions& o) {
  std::vector<std::string> v{"LD_PRELOAD=" + usb_dongle_library()};
  const char* asan = std::getenv("ASAN_OPTIONS");
  v.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
              "verify_asan_link_order=0");
  if (!o.record.empty()) v.push_back("RXIQ_USB_RECORD=" + o.record);
  if (!o.fault.empty()) v.push_back("RXIQ_USB_FAULT=" + o.fault);
  if (!o.presence.empty()) v.push_back("RXIQ_USB_PRESENCE=" + o.presence);
  if (!o.serial.empty()) v.push_back("RXIQ_USB_SERIAL=" + o.serial);
  if (o.carrier_hz > 0) v.push_back("RXIQ_USB_CARRIER=" + std::to_string(static_cast<long long>(o.carrier_hz)));
  if (o.crystal_ppm != 0) v.push_back("RXIQ_USB_PPM=" + std::to_string(o.crystal_ppm));
  return v;
}

// This process's environment with the emulator's variables in place of any earlier ones
// and without RXIQ_DONGLE: what a child started with execve gets.
inline std::vector<std::string> usb_dongle_environment(const UsbDongleOptions& o) {
  std::vector<std::string> env;
  const std::vector<std::string> ours = usb_dongle_variables(o);
  auto replaced = [&](const std::string& entry) {
    if (entry.rfind("RXIQ_DONGLE=", 0) == 0 || entry.rfind("RXIQ_USB_", 0) == 0) return true;
    for (const auto& v : ours)
      if (entry.compare(0, v.find('=') + 1, v, 0, v.find('=') + 1) == 0) return true;
    return false;
  };
  for (char** e = environ; *e; ++e)
    if (!replaced(*e)) env.emplace_back(*e);
  env.insert(env.end(), ours.begin(), ours.end());
  return env;
}

// A prefix for run_status/run_output commands: "env -u RXIQ_DONGLE NAME='VALUE' ... ".
inline std::string usb_dongle_command_prefix(const UsbDongleOptions& o) {
  std::string prefix = "env -u RXIQ_DONGLE ";
  for (const auto& v : usb_dongle_variables(o)) {
    const size_t eq = v.find('=');
    prefix += v.substr(0, eq + 1) + "'" + v.substr(eq + 1) + "' ";
  }
  return prefix;
}

// spawn() of child_process.h with the emulator under the child: its pid, or -1.
inline pid_t spawn_with_usb_dongle(const std::vector<std::string>& args, const UsbDongleOptions& o,
                                   const std::string& log) {
  const std::vector<std::string> env = usb_dongle_environment(o);
  return spawn(args, log, &env);
}

// Runs a child under the emulator to its end: its exit status, or -1.
inline int run_with_usb_dongle(const std::vector<std::string>& args, const UsbDongleOptions& o,
                               const std::string& log) {
  pid_t pid = spawn_with_usb_dongle(args, o, log);
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct UsbDongleTuning {
  double lo_hz = 0;
  double if_hz = 0;  // what the RTL2832U's down-converter removes
  double rf_hz = 0;  // the radio frequency at 0 Hz in the I/Q
  bool locked = false;
};

struct UsbDongleGain {
  bool manual = false;
  int lna = 0, mixer = 0, vga = 0;
  double db = 0;  // manual only: LNA and mixer steps, as librtlsdr's gain list counts
};

// What a record file says, latest value of each kind.
struct UsbDongleRecord {
  std::vector<std::string> lines;
  bool exited = false;  // an "exit" line was written (the last process exited normally)
  bool closed = false;  // ... and it had released and closed every handle then
  // "close" lines after the last "exit": a thread still closing the device while the
  // process exits (exit handlers run while threads that were never joined go on).
  int closes_after_exit = 0;
  std::optional<UsbDongleTuning> tuned;  // the last "tuned" line
  std::vector<UsbDongleTuning> tunings;  // every one, in order
  double rate_hz = 0;
  std::optional<UsbDongleGain> gain;
  int correction_ppm = 0;
  bool agc = false;
  bool bias_tee = false;
  int direct_sampling = 0;

  // How many lines are `line` exactly or start with `line` and a space.
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines)
      if (l == line || l.rfind(line + " ", 0) == 0) ++n;
    return n;
  }
  bool has(const std::string& line) const { return count(line) > 0; }
};

// The value after " key=" in a record line, or fallback.
inline double usb_dongle_field(const std::string& line, const std::string& key, double fallback = 0) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return fallback;
  return std::strtod(line.c_str() + at + key.size() + 2, nullptr);
}

inline UsbDongleRecord read_usb_dongle_record(const std::string& path) {
  UsbDongleRecord r;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    r.lines.push_back(line);
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    if (first == "exit") {
      r.exited = true;
      r.closed = second == "closed";
      r.closes_after_exit = 0;
    } else if (first == "close") {
      if (r.exited) ++r.closes_after_exit;
    } else if (first == "tuned") {
      UsbDongleTuning t{usb_dongle_field(line, "LO"), usb_dongle_field(line, "IF"), usb_dongle_field(line, "rf"),
                        usb_dongle_field(line, "lock") == 1};
      r.tunings.push_back(t);
      r.tuned = t;
    } else if (first == "rate") {
      r.rate_hz = std::strtod(second.c_str(), nullptr);
    } else if (first == "gain") {
      UsbDongleGain g;
      g.manual = second == "mode=manual";
      g.lna = static_cast<int>(usb_dongle_field(line, "lna"));
      g.mixer = static_cast<int>(usb_dongle_field(line, "mixer"));
      g.vga = static_cast<int>(usb_dongle_field(line, "vga"));
      g.db = usb_dongle_field(line, "db");
      r.gain = g;
    } else if (first == "correction") {
      r.correction_ppm = static_cast<int>(usb_dongle_field(line, "ppm"));
    } else if (first == "agc") {
      r.agc = second == "on";
    } else if (first == "bias-tee") {
      r.bias_tee = second == "on";
    } else if (first == "direct-sampling") {
      r.direct_sampling = std::atoi(second.c_str());
    }
  }
  return r;
}
