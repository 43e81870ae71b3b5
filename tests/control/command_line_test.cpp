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

Parsed with_options(std::vector<const char*> args) {
  Parsed p;
  p.state = parsed(args);
  args.insert(args.begin(), "rxiq12");
  p.ok = parse_options(static_cast<int>(args.size()), const_cast<char**>(args.data()), p.options, p.error);
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
