#include "control/rigctl_protocol.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "control/frequency_text.h"
#include "control/key_commands.h"
#include "control/listening.h"
#include "dsp/dsp_thread.h"
#include "tuner/tuner_range.h"
#include "variants/variant.h"

namespace {

// Hamlib's numbers for what the port reports: its model (NET rigctl) and the bits of
// its modes, levels, functions and VFO.
constexpr int rig_model_net_rigctl = 2;
constexpr int rigctld_protocol_version = 1;
constexpr uint64_t level_rf = uint64_t{1} << 4;
constexpr uint64_t level_sql = uint64_t{1} << 5;
constexpr uint64_t level_strength = uint64_t{1} << 30;
constexpr uint64_t func_fagc = uint64_t{1} << 0;
constexpr uint32_t vfo_a = 1u << 0;
// How long a Hamlib client should wait for an answer, ms.
constexpr int answer_timeout_ms = 1000;

struct ModeInfo {
  const char* name;
  uint64_t bit;
  int32_t passband;  // Hz, when none is asked for
};
// In RigMode's order.
constexpr ModeInfo modes[] = {
    {"AM", uint64_t{1} << 0, 8000},       {"USB", uint64_t{1} << 2, 2400},
    {"LSB", uint64_t{1} << 3, 2400},      {"FM", uint64_t{1} << 5, 15000},
    {"WFM", uint64_t{1} << 6, 200000},    {"PKTUSB", uint64_t{1} << 11, 2400},
    {"PKTLSB", uint64_t{1} << 10, 2400},  {"PKTFM", uint64_t{1} << 12, 15000},
};

const ModeInfo& info(RigMode mode) { return modes[static_cast<int>(mode)]; }

RigMode rig_mode_of(ListenMode mode) {
  switch (mode) {
    case ListenMode::wfm: return RigMode::wfm;
    case ListenMode::am: return RigMode::am;
    case ListenMode::usb: return RigMode::usb;
    case ListenMode::lsb: return RigMode::lsb;
    case ListenMode::fm:
    case ListenMode::off: break;
  }
  return RigMode::fm;
}

bool has_listening_channel(const RxState& s) { return s.listen_mode.load(std::memory_order_relaxed) != 0; }

uint64_t all_mode_bits() {
  uint64_t bits = 0;
  for (const ModeInfo& m : modes) bits |= m.bit;
  return bits;
}

// What one command answers: a status and, for a get command, its values.
struct Reply {
  int status = rig_ok;
  std::string values[2];
  int count = 0;
  void value(std::string v) { values[count++] = std::move(v); }
  void fail(int error) { status = error; }
};

using Handler = void (*)(const RigctlLinks&, const std::string_view* args, Reply&);

struct Command {
  char letter;  // 0: reached by its long name only
  const char* name;
  int args;
  Handler run;
  const char* labels[2];  // what a get command's values are called; none for a set command
};

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    char x = a[k], y = b[k];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Numbers as Hamlib writes them, whatever the receiver's locale: from_chars reads the
// C locale's form.
bool read_double(std::string_view text, double& value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end && std::isfinite(value);
}

bool read_long(std::string_view text, long long& value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end;
}

std::string fixed_six(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return error == std::errc() ? std::string(text, end) : std::string("0.000000");
}

void set_freq(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  RxState& s = l.state;
  double hz = 0;
  if (!read_double(args[0], hz) || hz < 0 || hz > static_cast<double>(max_frequency_hz)) {
    return r.fail(rig_einval);
  }
  switch (request_frequency(s, std::llround(hz))) {
    case Retune::asked: return;
    case Retune::out_of_range: return r.fail(rig_einval);
    case Retune::no_dongle: return r.fail(rig_enavail);
  }
}

void get_freq(const RigctlLinks& l, const std::string_view*, Reply& r) {
  r.value(std::to_string(static_cast<uint32_t>(l.state.frequency.load())));
}

void set_mode(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  RxState& s = l.state;
  int found = -1;
  for (int k = 0; k < static_cast<int>(std::size(modes)); ++k) {
    if (same_text_ignoring_case(args[0], modes[k].name)) found = k;
  }
  long long passband = 0;
  if (found < 0 || !read_long(args[1], passband) || passband < -1 || passband > 10000000) {
    return r.fail(rig_einval);
  }
  const RigMode mode = static_cast<RigMode>(found);
  if (has_listening_channel(s)) {
    // The channel changes mode at once, as with key L; one whose channel would not fit at
    // the channel's offset is refused.
    const ListenMode listen = listen_mode_of(mode);
    if (!listen_mode_fits(l.variant, listen, s.listen_offset.load(std::memory_order_relaxed))) {
      return r.fail(rig_einval);
    }
    s.listen_mode.store(static_cast<int32_t>(listen), std::memory_order_relaxed);
  }
  l.shared.mode.store(mode, std::memory_order_relaxed);
  // -1 keeps the passband; 0 asks for the mode's own.
  if (passband >= 0) l.shared.passband.store(static_cast<int32_t>(passband), std::memory_order_relaxed);
}

void get_mode(const RigctlLinks& l, const std::string_view*, Reply& r) {
  RigMode mode = l.shared.mode.load(std::memory_order_relaxed);
  int32_t passband = l.shared.passband.load(std::memory_order_relaxed);
  const auto listen = static_cast<ListenMode>(l.state.listen_mode.load(std::memory_order_relaxed));
  if (listen != ListenMode::off && listen_mode_of(mode) != listen) {
    // The channel's mode came from the command line or key L since: it, with its own
    // passband. A packet mode asked for here is answered as asked.
    mode = rig_mode_of(listen);
    passband = 0;
  }
  r.value(rig_mode_name(mode));
  r.value(std::to_string(passband > 0 ? passband : rig_mode_default_passband(mode)));
}

void set_vfo(const RigctlLinks&, const std::string_view* args, Reply& r) {
  // One receiver, one VFO.
  for (const char* name : {"VFOA", "VFO", "currVFO", "Main", "MainA"}) {
    if (args[0] == name) return;
  }
  r.fail(rig_einval);
}

void get_vfo(const RigctlLinks&, const std::string_view*, Reply& r) { r.value("VFOA"); }

void get_split_vfo(const RigctlLinks&, const std::string_view*, Reply& r) {
  r.value("0");
  r.value("VFOA");
}

// Split is for transmitting elsewhere: only "off" can be set.
void set_split_vfo(const RigctlLinks&, const std::string_view* args, Reply& r) {
  if (args[0] != "0") r.fail(rig_enavail);
}

void set_level(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  RxState& s = l.state;
  double fraction = 0;
  if (args[0] == "SQL") {
    // Without a listening channel there is nothing to mute, as on a radio without a squelch.
    if (!has_listening_channel(s)) return r.fail(rig_enavail);
    if (!read_double(args[1], fraction) || fraction < 0.0 || fraction > 1.0) return r.fail(rig_einval);
    s.squelch.store(squelch_from_level(fraction), std::memory_order_relaxed);
    return;
  }
  if (args[0] != "RF") return r.fail(rig_enavail);
  if (!read_double(args[1], fraction) || fraction < 0.0 || fraction > 1.0) return r.fail(rig_einval);
  const int32_t count = s.gain_count.load();
  if (count <= 0 || s.device.load() == nullptr) return r.fail(rig_enavail);
  // A gain from the list is a manual gain: the tuner leaves its automatic mode first.
  s.tuner_gain_mode.store(1);
  s.gain_index.store(static_cast<int32_t>(std::lround(fraction * (count - 1))));
}

void get_level(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  const RxState& s = l.state;
  if (args[0] == "RF") {
    const int32_t count = s.gain_count.load();
    const int32_t index = s.gain_index.load();
    return r.value(fixed_six(count > 1 ? static_cast<double>(index) / (count - 1) : 0.0));
  }
  if (args[0] == "SQL" && has_listening_channel(s)) {
    return r.value(fixed_six(level_from_squelch(s.squelch.load(std::memory_order_relaxed))));
  }
  if (args[0] == "STRENGTH" && l.level_dbfs != nullptr) {
    const float level = l.level_dbfs->load(std::memory_order_relaxed);
    if (level != no_level_dbfs) return r.value(std::to_string(std::lround(level)));
  }
  r.fail(rig_enavail);
}

// The RTL2832's own digital AGC goes by Hamlib's FAGC.
void set_func(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  if (args[0] != "FAGC") return r.fail(rig_enavail);
  if (args[1] != "0" && args[1] != "1") return r.fail(rig_einval);
  l.state.agc_mode.store(args[1] == "1" ? 1 : 0);
}

void get_func(const RigctlLinks& l, const std::string_view* args, Reply& r) {
  if (args[0] != "FAGC") return r.fail(rig_enavail);
  r.value(l.state.agc_mode.load() != 0 ? "1" : "0");
}

// Carrier detect: the listening channel's squelch is open. Without a channel nothing
// opens.
void get_dcd(const RigctlLinks& l, const std::string_view*, Reply& r) {
  const bool open = has_listening_channel(l.state) && l.squelch_open != nullptr &&
                    l.squelch_open->load(std::memory_order_relaxed) != 0;
  r.value(open ? "1" : "0");
}

void refuse(const RigctlLinks&, const std::string_view*, Reply& r) { r.fail(rig_enavail); }
void zero(const RigctlLinks&, const std::string_view*, Reply& r) { r.value("0"); }
void one(const RigctlLinks&, const std::string_view*, Reply& r) { r.value("1"); }

std::string dump_state_text(const RxState& s) {
  const TunerRange range = tuner_range(s.tuner_type.load(std::memory_order_relaxed));
  const uint64_t mode_bits = all_mode_bits();
  char line[512];
  std::string out;
  auto add = [&](const char* format, auto... values) {
    std::snprintf(line, sizeof line, format, values...);
    out += line;
  };
  add("%d\n%d\n%d\n", rigctld_protocol_version, rig_model_net_rigctl, 0);  // version, model, ITU region
  // Receive range: no power (-1), VFO A, no antenna choice; then the end marks of the
  // receive and the (empty) transmit list.
  add("%u.000000 %u.000000 0x%llx -1 -1 0x%x 0x0\n", range.low_hz, range.high_hz,
      static_cast<unsigned long long>(mode_bits), vfo_a);
  out += "0 0 0 0 0 0 0\n0 0 0 0 0 0 0\n";
  // Any whole Hz can be tuned; the keys step by 50.
  add("0x%llx 1\n0x%llx %d\n0 0\n", static_cast<unsigned long long>(mode_bits),
      static_cast<unsigned long long>(mode_bits), key_frequency_step);
  for (const ModeInfo& m : modes) {
    add("0x%llx %d\n", static_cast<unsigned long long>(m.bit), m.passband);
  }
  out += "0 0\n";
  out += "0\n0\n0\n0\n\n\n";  // RIT, XIT, IF shift, announces; no preamps, no attenuators
  add("0x%llx\n0x%llx\n", static_cast<unsigned long long>(func_fagc),
      static_cast<unsigned long long>(func_fagc));
  // The squelch only with a listening channel to mute.
  const uint64_t sql = has_listening_channel(s) ? level_sql : 0;
  add("0x%llx\n0x%llx\n0x0\n0x0\n", static_cast<unsigned long long>(level_rf | level_strength | sql),
      static_cast<unsigned long long>(level_rf | sql));
  add("vfo_ops=0x0\nptt_type=0x0\ntargetable_vfo=0x0\nhas_set_vfo=1\nhas_get_vfo=1\n"
      "has_set_freq=1\nhas_get_freq=1\nhas_set_conf=0\nhas_get_conf=0\nhas_power2mW=0\n"
      "has_mW2power=0\ntimeout=%d\nrig_model=%d\nrigctld_version=rxiq %s\ndone\n",
      answer_timeout_ms, rig_model_net_rigctl, rxiq_version);
  return out;
}

void dump_state(const RigctlLinks& l, const std::string_view*, Reply& r) { r.value(dump_state_text(l.state)); }

const Command commands[] = {
    {'F', "set_freq", 1, set_freq, {nullptr, nullptr}},
    {'f', "get_freq", 0, get_freq, {"Frequency", nullptr}},
    {'M', "set_mode", 2, set_mode, {nullptr, nullptr}},
    {'m', "get_mode", 0, get_mode, {"Mode", "Passband"}},
    {'V', "set_vfo", 1, set_vfo, {nullptr, nullptr}},
    {'v', "get_vfo", 0, get_vfo, {"VFO", nullptr}},
    {'S', "set_split_vfo", 2, set_split_vfo, {nullptr, nullptr}},
    {'s', "get_split_vfo", 0, get_split_vfo, {"Split", "TX VFO"}},
    {'L', "set_level", 2, set_level, {nullptr, nullptr}},
    {'l', "get_level", 1, get_level, {"Level Value", nullptr}},
    {'U', "set_func", 2, set_func, {nullptr, nullptr}},
    {'u', "get_func", 1, get_func, {"Func Status", nullptr}},
    {'T', "set_ptt", 1, refuse, {nullptr, nullptr}},
    {'t', "get_ptt", 0, zero, {"PTT", nullptr}},
    {0, "get_powerstat", 0, one, {"Power Status", nullptr}},
    // Carrier detect, which gpredict asks by the command's byte, 0x8b, of a radio without
    // a PTT line.
    {'\x8b', "get_dcd", 0, get_dcd, {"DCD", nullptr}},
    {0, "get_lock_mode", 0, zero, {"Locked", nullptr}},
    {0, "chk_vfo", 0, zero, {"ChkVFO", nullptr}},
    {0, "dump_state", 0, dump_state, {"", nullptr}},
};

// gpredict's pass marks: AOS starts the recording, LOS stops it.
void pass_start(const RigctlLinks& l, const std::string_view*, Reply&) {
  if (l.pass_mark) l.pass_mark(l.pass_context, true);
}
void pass_end(const RigctlLinks& l, const std::string_view*, Reply&) {
  if (l.pass_mark) l.pass_mark(l.pass_context, false);
}
const Command pass_start_mark = {0, "pass_start", 0, pass_start, {nullptr, nullptr}};
const Command pass_end_mark = {0, "pass_end", 0, pass_end, {nullptr, nullptr}};

const Command* find_by_letter(char letter) {
  for (const Command& c : commands) {
    if (c.letter == letter) return &c;
  }
  return nullptr;
}

const Command* find_by_name(std::string_view name) {
  for (const Command& c : commands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::vector<std::string_view> tokens_of(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') ++at;
    if (at > start) tokens.push_back(line.substr(start, at - start));
  }
  return tokens;
}

// Punctuation that asks for the extended form with itself as the separator; the rest
// starts a command.
bool is_separator_mark(char c) {
  return std::strchr("!\"$%&'*,-./:;<=>@[]^`{|}~", c) != nullptr && c != '\0';
}

void answer_command(const RigctlLinks& links, const Command& command, const std::string_view* args,
                    bool extended, char separator, std::string& out) {
  const bool chk_vfo = std::strcmp(command.name, "chk_vfo") == 0;
  if (extended && !chk_vfo) {
    out += command.name;
    out += ':';
    for (int k = 0; k < command.args; ++k) {
      out += ' ';
      out.append(args[k]);
    }
    out += separator;
  }
  Reply reply;
  command.run(links, args, reply);
  if (reply.status != rig_ok) {
    out += "RPRT -" + std::to_string(reply.status) + "\n";
    return;
  }
  const bool is_get = command.labels[0] != nullptr;
  for (int k = 0; k < reply.count; ++k) {
    const bool block = std::strcmp(command.name, "dump_state") == 0;
    if (extended && !block) {
      out += command.labels[k];
      out += ": ";
    }
    out += reply.values[k];
    if (!block) out += chk_vfo ? '\n' : (extended ? separator : '\n');
  }
  // A get command's values are its answer; the extended form ends every answer with the
  // status, the short form only a set command's.
  if (chk_vfo) return;
  if (extended || !is_get) out += "RPRT 0\n";
}

}  // namespace

const char* rig_mode_name(RigMode mode) { return info(mode).name; }

int32_t squelch_from_level(double level) {
  if (level <= 0.0) return squelch_off;
  return static_cast<int32_t>(std::lround(squelch_min_tenths + (squelch_max_tenths - squelch_min_tenths) * level));
}

double level_from_squelch(int32_t tenths) {
  if (tenths == squelch_off) return 0.0;
  const double level = static_cast<double>(tenths - squelch_min_tenths) / (squelch_max_tenths - squelch_min_tenths);
  return level < 0.0 ? 0.0 : (level > 1.0 ? 1.0 : level);
}

ListenMode listen_mode_of(RigMode mode) {
  switch (mode) {
    case RigMode::am: return ListenMode::am;
    case RigMode::usb:
    case RigMode::pktusb: return ListenMode::usb;
    case RigMode::lsb:
    case RigMode::pktlsb: return ListenMode::lsb;
    case RigMode::wfm: return ListenMode::wfm;
    case RigMode::fm:
    case RigMode::pktfm: break;
  }
  return ListenMode::fm;
}
int32_t rig_mode_default_passband(RigMode mode) { return info(mode).passband; }

std::string rigctl_answer(const RigctlLinks& links, std::string_view line, bool& quit) {
  std::string out;
  const std::vector<std::string_view> tokens = tokens_of(line);
  size_t next = 0;
  while (next < tokens.size() && !quit) {
    std::string_view token = tokens[next++];
    bool extended = false;
    char separator = '\n';
    if (token[0] == '+') {
      extended = true;
      token.remove_prefix(1);
    } else if (is_separator_mark(token[0])) {
      extended = true;
      separator = token[0];
      token.remove_prefix(1);
    }
    if (token.empty()) {
      if (next == tokens.size()) break;
      token = tokens[next++];
    }
    const Command* command = nullptr;
    std::string_view inline_arg;
    if (token == "AOS" || token == "LOS") {
      command = token == "AOS" ? &pass_start_mark : &pass_end_mark;
    } else if (token[0] == '\\') {
      command = find_by_name(token.substr(1));
    } else if (token == "q" || token == "Q") {
      quit = true;
      break;
    } else {
      command = find_by_letter(token[0]);
      inline_arg = token.substr(1);  // "F145800000" as well as "F 145800000"
    }
    if (command == nullptr) {
      // How many arguments an unknown command takes cannot be told, so the rest of the
      // line goes with it rather than be taken for commands.
      out += "RPRT -" + std::to_string(rig_enavail) + "\n";
      break;
    }
    std::string_view args[2];
    int have = 0;
    if (!inline_arg.empty()) {
      if (command->args == 0) {
        out += "RPRT -" + std::to_string(rig_einval) + "\n";
        continue;
      }
      args[have++] = inline_arg;
    }
    while (have < command->args && next < tokens.size()) args[have++] = tokens[next++];
    if (have < command->args) {
      out += "RPRT -" + std::to_string(rig_einval) + "\n";
      break;
    }
    answer_command(links, *command, args, extended, separator, out);
  }
  return out;
}
