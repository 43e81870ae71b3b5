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
    EXPECT_TRUE(usage->starts_with("usage: rxiq24 [frequency-Hz")) << *usage;
    EXPECT_NE(usage->find("2400000 samples/s"), std::string::npos);
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
