#include "control/command_line.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/rx_state.h"

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
