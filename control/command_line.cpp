#include "control/command_line.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "control/rigctl_server.h"
#include "core/rx_state.h"
#include "tuner/rtl_tcp.h"
#include "variants/variant.h"

namespace {

constexpr std::string_view rigctl_flag = "--rigctl";

// Options that always take a value, the next argument or after '='; each with what its
// value must be, for the refusal.
struct ValuedFlag {
  std::string_view name;
  const char* takes;
};
constexpr ValuedFlag listen_flag{"--listen", "MODE[@OFFSET]"};
constexpr ValuedFlag listen_device_flag{"--listen-device",
                                        "an output device id from the start-up list (-1: the default) or a part of its name"};
constexpr ValuedFlag device_flag{"--device", "a part of an output device's name from the start-up list"};
constexpr ValuedFlag squelch_flag{"--squelch", "a level from -120 to 0 dB (say -60) or off"};
constexpr ValuedFlag deemphasis_flag{"--deemphasis", "0, 50, 75 or 750 (microseconds)"};
constexpr ValuedFlag record_flag{"--record", "a folder to record into"};
constexpr ValuedFlag direct_sampling_flag{"--direct-sampling", "i or q (the ADC input wired for HF)"};
constexpr ValuedFlag serial_flag{"--serial", "a dongle's serial number, as the start-up list shows it"};
constexpr const ValuedFlag* valued_flags[] = {&listen_flag,     &listen_device_flag, &squelch_flag,
                                              &deemphasis_flag, &record_flag,        &device_flag,
                                              &direct_sampling_flag, &serial_flag};
// Options that take no value, each with the dongle setting it sets and to what (none
// for --record-raw, which is the recording's).
struct PlainFlag {
  std::string_view name;
  bool DongleOptions::*dongle_field;
  bool value;
};
constexpr PlainFlag plain_flags[] = {
    {"--record-raw", nullptr, true},
    {"--bias-tee", &DongleOptions::bias_tee, true},
    {"--offset-tuning", &DongleOptions::offset_tuning, true},
    {"--no-reconnect", &DongleOptions::reconnect, false},
};

const PlainFlag* plain_flag_of(std::string_view a) {
  for (const PlainFlag& f : plain_flags) {
    if (a == f.name) return &f;
  }
  return nullptr;
}

// The valued option argument a names, or null; value_inline set when "=VALUE" follows.
const ValuedFlag* valued_flag_of(std::string_view a, bool& value_inline) {
  for (const ValuedFlag* f : valued_flags) {
    if (a == f->name || (a.starts_with(f->name) && a.size() > f->name.size() && a[f->name.size()] == '=')) {
      value_inline = a.size() > f->name.size();
      return f;
    }
  }
  return nullptr;
}

bool read_device_id(const char* text, int32_t& id) {
  const std::string_view t = text;
  const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), id);
  return error == std::errc() && end == t.data() + t.size() && id >= -1;
}

// [ADDRESS:]PORT, port 0 (any free one) included.
bool read_listen_address(const char* text, std::string& address, uint16_t& port) {
  const std::string_view t = text;
  const bool port_only = !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
  if (port_only) {
    const std::string with_address = std::string(rigctl_default_address) + ":" + text;
    return parse_host_port(with_address.c_str(), rigctl_default_port, true, address, port);
  }
  // Without a port it would be a host alone, which a bare --rigctl never takes.
  return t.find(':') != std::string_view::npos &&
         parse_host_port(text, rigctl_default_port, true, address, port);
}

// Which arguments are options or option values, so that the numbers can skip them.
// Returns how many arguments argv[i] and what follows it take as an option (0: none).
int option_width(int argc, char** argv, int i) {
  const std::string_view a = argv[i];
  bool value_inline = false;
  if (plain_flag_of(a) != nullptr) return 1;
  if (valued_flag_of(a, value_inline) != nullptr) return value_inline || i + 1 >= argc ? 1 : 2;
  if (a.rfind(std::string(rigctl_flag) + "=", 0) == 0) return 1;
  if (a != rigctl_flag) return 0;
  std::string address;
  uint16_t port = 0;
  return i + 1 < argc && read_listen_address(argv[i + 1], address, port) ? 2 : 1;
}

}  // namespace

int32_t parse_integer(const char* text) {
  // long long: 64 bits everywhere (long is 32 on Windows and would saturate instead).
  long long value = std::strtoll(text, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

void parse_command_line(RxState& state, int argc, char** argv) {
  std::atomic<int32_t>* fields[] = {&state.frequency, &state.out_device, &state.ppm_error,
                                    &state.dev_index};
  int positional = 0;
  for (int i = 1; i < argc && positional < 4;) {
    const int width = option_width(argc, argv, i);
    if (width > 0) {
      i += width;
      continue;
    }
    fields[positional++]->store(parse_integer(argv[i]));
    ++i;
  }
}

namespace {

// Takes the value of one valued option into options; false with the reason in error.
bool read_valued_option(const Variant& variant, const ValuedFlag& flag, const char* value,
                        ReceiverOptions& options, std::string& error) {
  const std::string name(flag.name);
  if (value == nullptr) {
    error = name + " needs a value: " + flag.takes;
    return false;
  }
  bool read = false;
  if (&flag == &listen_flag) {
    std::string reason;
    if (!parse_listen_choice(value, options.listen, reason)) {
      error = name + " takes " + flag.takes + ": " + reason;
      return false;
    }
    if (!listen_choice_fits(variant, options.listen, reason)) {
      error = name + " " + value + ": " + reason;
      return false;
    }
    read = true;
  } else if (&flag == &listen_device_flag) {
    // A number is an id (and must be one); anything else a part of a name.
    int32_t number = 0;
    const std::string_view v = value;
    const bool numeric = std::from_chars(v.data(), v.data() + v.size(), number).ptr == v.data() + v.size();
    read = numeric ? read_device_id(value, options.listen_device) : !v.empty();
    if (read && !numeric) options.listen_device_name = value;
  } else if (&flag == &device_flag) {
    read = *value != '\0';
    options.device_name = value;
  } else if (&flag == &squelch_flag) {
    read = parse_squelch_text(value, options.squelch);
  } else if (&flag == &deemphasis_flag) {
    read = apply_deemphasis_text(value, options.fm_deemphasis_us, options.wfm_deemphasis_us);
  } else if (&flag == &record_flag) {
    read = *value != '\0';
    options.record_at_start = read;
    options.record.folder = value;
  } else if (&flag == &direct_sampling_flag) {
    const std::string_view v = value;
    read = v == "i" || v == "q" || v == "I" || v == "Q";
    if (read) options.dongle.direct_sampling = (v == "i" || v == "I") ? 1 : 2;
  } else if (&flag == &serial_flag) {
    read = *value != '\0';
    options.dongle.serial = value;
  }
  if (!read) error = name + " takes " + flag.takes + ", not '" + value + "'";
  return read;
}

}  // namespace

bool parse_options(const Variant& variant, int argc, char** argv, ReceiverOptions& options,
                   std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const int width = option_width(argc, argv, i);
    if (width == 0) continue;
    const std::string_view a = argv[i];
    if (const PlainFlag* plain = plain_flag_of(a)) {
      if (plain->dongle_field) {
        options.dongle.*plain->dongle_field = plain->value;
      } else {
        options.record.raw = true;
      }
      continue;
    }
    bool value_inline = false;
    if (const ValuedFlag* flag = valued_flag_of(a, value_inline)) {
      const char* value = value_inline ? argv[i] + flag->name.size() + 1 : (width == 2 ? argv[i + 1] : nullptr);
      if (!read_valued_option(variant, *flag, value, options, error)) return false;
      i += width - 1;
      continue;
    }
    options.rigctl = true;
    options.rigctl_address = rigctl_default_address;
    options.rigctl_port = rigctl_default_port;
    const char* value = a == rigctl_flag ? (width == 2 ? argv[i + 1] : nullptr) : argv[i] + rigctl_flag.size() + 1;
    if (value != nullptr && !read_listen_address(value, options.rigctl_address, options.rigctl_port)) {
      error = "--rigctl takes [ADDRESS:]PORT, not '" + std::string(value) + "'";
      return false;
    }
    i += width - 1;
  }
  return true;
}

bool answer_help_or_version(const Variant& variant, int argc, char** argv, FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--version") == 0) {
      std::fprintf(out, "%s %s\n", variant.program_name, rxiq_version);
      return true;
    }
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      std::fprintf(out,
                   "usage: %s [options] [frequency-Hz [output-device [ppm [dongle-index]]]]\n"
                   "       %s -h | --help | --version\n"
                   "Tunes an RTL2832U dongle at %d samples/s and plays its baseband as %d frames/s\n"
                   "16-bit stereo (I left, Q right) on an audio output device.\n"
                   "Defaults: %d Hz, output device -1 (the default), %d ppm, dongle 0.\n"
                   "Options (before or after the numbers):\n"
                   "  --rigctl [ADDRESS:]PORT  serve Hamlib's NET rigctl protocol (rigctl -m 2),\n"
                   "                           default %s:%d; a port alone listens on %s\n"
                   "  --listen MODE[@OFFSET]   also play one station demodulated: MODE fm, wfm, am,\n"
                   "                           usb or lsb, OFFSET Hz from the tuned frequency (0);\n"
                   "                           at most fm %d, wfm %d, am %d, usb/lsb %d Hz\n"
                   "  --listen-device ID|NAME  its output device (default -1, the default); the\n"
                   "                           baseband is not played when it is the same device\n"
                   "  --device NAME            play the baseband on the output device whose name\n"
                   "                           contains NAME (any letter case; a whole name wins);\n"
                   "                           it overrides output-device; NAME as listed at start\n"
                   "                           (a lost output device: \"Output device N (NAME) lost\",\n"
                   "                           reopened by name every 2 s, then \"... back\")\n"
                   "  --squelch DB|off         mute it while its level is below DB relative to full\n"
                   "                           scale (-120 to 0; default off)\n"
                   "  --deemphasis US          750: narrow FM's voice de-emphasis; 50 or 75: wide\n"
                   "                           FM's (default 50); 0: both flat (narrow FM's default)\n"
                   "  --record DIR             record from start-up into DIR (key R records there\n"
                   "                           too; default the current folder): SigMF files\n"
                   "                           rxiq-<UTC time>-<Hz>.sigmf-data and .sigmf-meta\n"
                   "  --record-raw             record the dongle's bytes (cu8, %d samples/s)\n"
                   "                           instead of the baseband (ci16_le, %d frames/s)\n"
                   "  --serial SERIAL          open the dongle with this USB serial number\n"
                   "  --bias-tee               power the antenna input (for an amplifier there);\n"
                   "                           switched off again at exit\n"
                   "  --direct-sampling i|q    HF below about 28 MHz from the I or Q input of a\n"
                   "                           dongle wired for it, bypassing the tuner\n"
                   "  --offset-tuning          offset tuning (E4000 tuners; an R820T has no use)\n"
                   "  --no-reconnect           when the dongle or its server goes, stop reading for\n"
                   "                           good instead of looking for it every 2 s\n"
                   "Keys: Left/Right retune by 50 Hz, F type a frequency, Home/End gain,\n"
                   "N gain mode, M AGC, PgUp/PgDn level line, T top flag, V spectrum display,\n"
                   "Up/Down squelch, L listening mode, R starts/stops a recording, Esc quits.\n"
                   "The control port's AOS starts a recording, LOS stops it.\n"
                   "Without a terminal on standard input (a service, nohup, </dev/null) it runs\n"
                   "unattended: keys only from what the input sends, SIGTERM, SIGINT or SIGHUP\n"
                   "ends it. As a service: rxiq@NAME.service with RXIQ_PROGRAM and RXIQ_OPTIONS\n"
                   "in /etc/rxiq/NAME.conf.\n"
                   "Environment: RXIQ_DONGLE=sim (simulated dongle), RXIQ_DISPLAY=kitty|sixel|blocks.\n"
                   "See man %s.\n",
                   variant.program_name, variant.program_name, variant.sample_rate,
                   variant.frame_rate, initial_frequency, initial_ppm_error, rigctl_default_address,
                   rigctl_default_port, rigctl_default_address,
                   listen_offset_limit(variant, ListenMode::fm), listen_offset_limit(variant, ListenMode::wfm),
                   listen_offset_limit(variant, ListenMode::am), listen_offset_limit(variant, ListenMode::usb),
                   variant.sample_rate, variant.frame_rate, variant.program_name);
      return true;
    }
  }
  return false;
}
