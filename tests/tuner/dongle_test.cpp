#include "tuner/dongle.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tuner/rtlsdr_dongle.h"
#include "tuner/sim_dongle.h"

TEST(DongleChoice, ParsesEveryFormAndRejectsTheRest) {
  DongleChoice c;
  EXPECT_TRUE(parse_dongle_choice(nullptr, c));
  EXPECT_EQ(c.kind, DongleKind::librtlsdr);
  EXPECT_TRUE(parse_dongle_choice("", c));
  EXPECT_EQ(c.kind, DongleKind::librtlsdr);

  struct Case {
    const char* text;
    SimFailure failure;
    int64_t read;
  };
  const Case good[] = {{"sim", SimFailure::none, 0},
                       {"sim:none", SimFailure::no_device, 0},
                       {"sim:fail-open", SimFailure::fail_open, 0},
                       {"sim:fail-freq", SimFailure::fail_freq, 0},
                       {"sim:fail-rate", SimFailure::fail_rate, 0},
                       {"sim:fail-read=1", SimFailure::fail_read, 1},
                       {"sim:fail-read=250", SimFailure::fail_read, 250},
                       {"sim:unplug=7", SimFailure::unplug, 7}};
  for (const Case& g : good) {
    ASSERT_TRUE(parse_dongle_choice(g.text, c)) << g.text;
    EXPECT_EQ(c.kind, DongleKind::sim) << g.text;
    EXPECT_EQ(c.failure, g.failure) << g.text;
    EXPECT_EQ(c.failure_read, g.read) << g.text;
  }

  for (const char* bad : {"SIM", "sim:", "simulated", "sim:fail-read", "sim:fail-read=",
                          "sim:fail-read=0", "sim:fail-read=-3", "sim:fail-read=5x",
                          "sim:unplug=99999999999999999999", "rtlsdr", " sim"}) {
    EXPECT_FALSE(parse_dongle_choice(bad, c)) << bad;
    EXPECT_EQ(c.kind, DongleKind::librtlsdr) << bad;
  }
}

TEST(DongleChoice, EnvironmentPicksTheImplementation) {
  setenv("RXIQ_DONGLE", "sim:unplug=3", 1);
  auto chosen = dongle_from_environment();
  auto* sim = dynamic_cast<SimDongle*>(chosen.get());
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->choice.failure, SimFailure::unplug);
  EXPECT_EQ(sim->choice.failure_read, 3);
  EXPECT_TRUE(sim->paced) << "the user-facing simulator runs in real time";

  unsetenv("RXIQ_DONGLE");
  chosen = dongle_from_environment();
  EXPECT_NE(dynamic_cast<RtlsdrDongle*>(chosen.get()), nullptr);
}
