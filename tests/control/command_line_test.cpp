#include "control/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/rx_state.h"
#include "variants/variant.h"

namespace {

std::unique_ptr<RxState> parsed(std::vector<const char*> args) {
  auto state = std::make_unique<RxState>(rxiq12_variant);
  args.insert(args.begin(), "rxiq12");
  parse_command_line(*state, static_cast<int>(args.size()), const_cast<char**>(args.data()));
  return state;
}

}  // namespace

TEST(CommandLine, DefaultsWithoutArguments) {
  auto s = parsed({});
  EXPECT_EQ(s->frequency.load(), 145725000);
  EXPECT_EQ(s->out_device.load(), -1);
  EXPECT_EQ(s->ppm_error.load(), 48);
  EXPECT_EQ(s->dev_index.load(), 0);
  EXPECT_EQ(s->gain.load(), 1200000);
  EXPECT_EQ(RxState(rxiq24_variant).gain.load(), 2400000);
}

TEST(CommandLine, FourPositionalIntegersExtrasIgnored) {
  auto s = parsed({"100000000", "3", "-5", "1", "77"});
  EXPECT_EQ(s->frequency.load(), 100000000);
  EXPECT_EQ(s->out_device.load(), 3);
  EXPECT_EQ(s->ppm_error.load(), -5);
  EXPECT_EQ(s->dev_index.load(), 1);
  auto two = parsed({"433920000", "2"});
  EXPECT_EQ(two->frequency.load(), 433920000);
  EXPECT_EQ(two->out_device.load(), 2);
  EXPECT_EQ(two->ppm_error.load(), 48);
}

TEST(CommandLine, AtoiRules) {
  EXPECT_EQ(parse_integer("  \t+42"), 42);
  EXPECT_EQ(parse_integer("-17xyz"), -17);
  EXPECT_EQ(parse_integer("12.5e3"), 12);
  EXPECT_EQ(parse_integer("abc"), 0);
  EXPECT_EQ(parse_integer(""), 0);
  EXPECT_EQ(parse_integer("- 5"), 0);
  EXPECT_EQ(parse_integer("2147483647"), 2147483647);
  // Beyond 32 bits the value wraps, so a frequency above 2^31 Hz still reaches the
  // dongle as its unsigned value.
  EXPECT_EQ(static_cast<uint32_t>(parse_integer("4294967295")), 4294967295u);
  EXPECT_EQ(static_cast<uint32_t>(parse_integer("2400000000")), 2400000000u);
  EXPECT_EQ(parsed({"FM"})->frequency.load(), 0);
}

namespace {

// What answer_help_or_version prints for args, or nullopt when it leaves them to the
// receiver.
std::optional<std::string> answer(const Variant& variant, std::vector<const char*> args) {
  args.insert(args.begin(), variant.program_name);
  // A temporary file rather than a memory stream, which the Windows C library lacks.
  FILE* out = std::tmpfile();
  const bool answered =
      answer_help_or_version(variant, static_cast<int>(args.size()), const_cast<char**>(args.data()), out);
  std::string printed;
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
  std::fclose(out);
  if (!answered) {
    EXPECT_EQ(printed, "");
    return std::nullopt;
  }
  return printed;
}

}  // namespace

TEST(CommandLine, HelpAndVersionAnswerAnywhereOnTheLine) {
  EXPECT_EQ(answer(rxiq12_variant, {"--version"}), std::string("rxiq12 ") + rxiq_version + "\n");
  EXPECT_EQ(answer(rxiq24_variant, {"100000000", "--version"}), std::string("rxiq24 ") + rxiq_version + "\n");
  for (const char* flag : {"-h", "--help"}) {
    auto usage = answer(rxiq24_variant, {"1", flag});
    ASSERT_TRUE(usage) << flag;
    EXPECT_TRUE(usage->starts_with("usage: rxiq24 [options] [frequency-Hz")) << *usage;
    EXPECT_NE(usage->find("2400000 samples/s"), std::string::npos);
    EXPECT_NE(usage->find("--rigctl [ADDRESS:]PORT"), std::string::npos);
    EXPECT_NE(usage->find("F type a frequency"), std::string::npos);
    EXPECT_NE(usage->find("--listen MODE[@OFFSET]"), std::string::npos);
    EXPECT_NE(usage->find("at most fm 30400, wfm 860000, am 33900, usb/lsb 35400 Hz"), std::string::npos)
        << "the limits of rxiq24's band";
    EXPECT_NE(usage->find("Up/Down squelch, L listening mode"), std::string::npos);
  }
}

TEST(CommandLine, EverythingElseStaysAnAtoiNumber) {
  // Near misses are numbers (0) as they always were, and the receiver starts with them.
  for (const char* arg : {"-help", "--h", "-H", "--versions", "-", "help", "-5"}) {
    EXPECT_FALSE(answer(rxiq12_variant, {arg})) << arg;
  }
  EXPECT_FALSE(answer(rxiq12_variant, {}));
  EXPECT_EQ(parsed({"-help"})->frequency.load(), 0);
}

namespace {

struct Parsed {
  bool ok = false;
  ReceiverOptions options;
  std::string error;
  std::unique_ptr<RxState> state;
};

Parsed with_options(std::vector<const char*> args, const Variant& variant = rxiq12_variant) {
  Parsed p;
  p.state = parsed(args);
  args.insert(args.begin(), variant.program_name);
  p.ok = parse_options(variant, static_cast<int>(args.size()), const_cast<char**>(args.data()), p.options, p.error);
  return p;
}

}  // namespace

TEST(CommandLine, TheControlPortOptionStandsAnywhereAndTheNumbersKeepTheirPlaces) {
  Parsed none = with_options({"145800000", "2"});
  EXPECT_TRUE(none.ok);
  EXPECT_FALSE(none.options.rigctl);

  Parsed bare_last = with_options({"145800000", "2", "--rigctl"});
  EXPECT_TRUE(bare_last.options.rigctl);
  EXPECT_EQ(bare_last.options.rigctl_address, "127.0.0.1");
  EXPECT_EQ(bare_last.options.rigctl_port, 4532);
  EXPECT_EQ(bare_last.state->frequency.load(), 145800000);
  EXPECT_EQ(bare_last.state->out_device.load(), 2);

  // A frequency cannot be a port, so it stays the first number.
  Parsed bare_first = with_options({"--rigctl", "145800000", "2"});
  EXPECT_EQ(bare_first.options.rigctl_port, 4532);
  EXPECT_EQ(bare_first.state->frequency.load(), 145800000);
  EXPECT_EQ(bare_first.state->out_device.load(), 2);

  Parsed port_between = with_options({"145800000", "--rigctl", "7356", "2", "-3"});
  EXPECT_EQ(port_between.options.rigctl_port, 7356);
  EXPECT_EQ(port_between.options.rigctl_address, "127.0.0.1");
  EXPECT_EQ(port_between.state->frequency.load(), 145800000);
  EXPECT_EQ(port_between.state->out_device.load(), 2);
  EXPECT_EQ(port_between.state->ppm_error.load(), -3);

  Parsed everywhere = with_options({"--rigctl", "0.0.0.0:4533", "433920000"});
  EXPECT_EQ(everywhere.options.rigctl_address, "0.0.0.0");
  EXPECT_EQ(everywhere.options.rigctl_port, 4533);
  EXPECT_EQ(everywhere.state->frequency.load(), 433920000);

  Parsed v6 = with_options({"--rigctl=[::1]:4534"});
  EXPECT_EQ(v6.options.rigctl_address, "::1");
  EXPECT_EQ(v6.options.rigctl_port, 4534);
  EXPECT_EQ(v6.state->frequency.load(), 145725000) << "the option is no number";

  Parsed any_port = with_options({"--rigctl=0"});
  EXPECT_TRUE(any_port.ok);
  EXPECT_EQ(any_port.options.rigctl_port, 0) << "0: any free port";
}

TEST(CommandLine, AControlPortValueThatDoesNotReadIsRefused) {
  for (const char* bad : {"--rigctl=", "--rigctl=host", "--rigctl=70000", "--rigctl=:x",
                          "--rigctl=[::1"}) {
    Parsed p = with_options({bad});
    EXPECT_FALSE(p.ok) << bad;
    EXPECT_NE(p.error.find("--rigctl takes [ADDRESS:]PORT"), std::string::npos) << p.error;
  }
  // After a bare --rigctl, something that is no address is simply the next number.
  Parsed p = with_options({"--rigctl", "host"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.state->frequency.load(), 0);
}

TEST(CommandLine, ListeningOptionsStandAnywhereAndTheNumbersKeepTheirPlaces) {
  // A value that looks like a negative number is still the option's.
  Parsed all = with_options({"--listen", "fm@-10000", "145800000", "--squelch", "-60", "2",
                             "--listen-device=3", "-5", "--deemphasis", "750", "1"});
  ASSERT_TRUE(all.ok) << all.error;
  EXPECT_EQ(all.options.listen.mode, ListenMode::fm);
  EXPECT_EQ(all.options.listen.offset_hz, -10000);
  EXPECT_EQ(all.options.squelch, -600);
  EXPECT_EQ(all.options.listen_device, 3);
  EXPECT_EQ(all.options.fm_deemphasis_us, 750);
  EXPECT_EQ(all.options.wfm_deemphasis_us, 50);
  EXPECT_EQ(all.state->frequency.load(), 145800000);
  EXPECT_EQ(all.state->out_device.load(), 2);
  EXPECT_EQ(all.state->ppm_error.load(), -5);
  EXPECT_EQ(all.state->dev_index.load(), 1);

  Parsed inline_values = with_options({"--listen=usb", "--squelch=off", "--deemphasis=0"});
  ASSERT_TRUE(inline_values.ok) << inline_values.error;
  EXPECT_EQ(inline_values.options.listen.mode, ListenMode::usb);
  EXPECT_EQ(inline_values.options.squelch, squelch_off);
  EXPECT_EQ(inline_values.options.wfm_deemphasis_us, 0) << "0 makes both flat";
  EXPECT_EQ(inline_values.state->frequency.load(), 145725000);

  // Each choice sets only the mode it names, so two set both.
  Parsed both = with_options({"--deemphasis", "75", "--deemphasis", "750"});
  EXPECT_EQ(both.options.fm_deemphasis_us, 750);
  EXPECT_EQ(both.options.wfm_deemphasis_us, 75);

  // rxiq24's wider baseband takes an offset rxiq12's does not.
  EXPECT_TRUE(with_options({"--listen", "fm@30000"}, rxiq24_variant).ok);
  EXPECT_FALSE(with_options({"--listen", "fm@30000"}).ok);
}

TEST(CommandLine, RecordingOptionsStandAnywhereAndTheNumbersKeepTheirPlaces) {
  Parsed p = with_options({"--record-raw", "145800000", "--record", "/tmp/a b", "2"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.options.record_at_start);
  EXPECT_EQ(p.options.record.folder, "/tmp/a b");
  EXPECT_TRUE(p.options.record.raw);
  EXPECT_EQ(p.state->frequency.load(), 145800000);
  EXPECT_EQ(p.state->out_device.load(), 2);

  // Key R alone: the current folder, the baseband.
  Parsed none = with_options({});
  EXPECT_FALSE(none.options.record_at_start);
  EXPECT_EQ(none.options.record.folder, ".");
  EXPECT_FALSE(none.options.record.raw);
  EXPECT_EQ(with_options({"--record"}).error, "--record needs a value: a folder to record into");
  EXPECT_FALSE(with_options({"--record="}).ok);
}

TEST(CommandLine, ListeningValuesThatDoNotReadOrDoNotFitAreRefusedWithTheReason) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"145800000", "--listen"}, "--listen needs a value: MODE[@OFFSET]"},
      {{"--listen=xyz"}, "--listen takes MODE[@OFFSET]: unknown listening mode 'xyz' (fm, wfm, am, usb or lsb)"},
      {{"--listen", "am@1k"}, "--listen takes MODE[@OFFSET]: the offset '1k' is not a whole number of Hz"},
      {{"--listen", "fm@12000"},
       "--listen fm@12000: the offset 12000 Hz is outside what fm can take from the baseband in rxiq12 "
       "(at most 11200 Hz either side)"},
      {{"--listen-device", ""},
       "--listen-device takes an output device id from the start-up list (-1: the default) or a part of its name, not ''"},
      {{"--listen-device=-2"}, "not '-2'"},
      {{"--squelch", "-130"}, "--squelch takes a level from -120 to 0 dB (say -60) or off, not '-130'"},
      {{"--squelch=5"}, "not '5'"},
      {{"--deemphasis", "60"}, "--deemphasis takes 0, 50, 75 or 750 (microseconds), not '60'"},
      {{"--deemphasis="}, "not ''"},
      {{"--squelch"}, "--squelch needs a value"},
  };
  for (const auto& [args, reason] : cases) {
    Parsed p = with_options(args);
    EXPECT_FALSE(p.ok) << args.front();
    EXPECT_NE(p.error.find(reason), std::string::npos) << p.error;
    EXPECT_EQ(p.error.find('\n'), std::string::npos) << "one line";
  }
}
