#include <gtest/gtest.h>

#include <cstdlib>

#include "control/receiver.h"
#include "simulator/sim_dongle.h"
#include "tuner/rtl_tcp_dongle.h"
#include "tuner/rtlsdr_dongle.h"

TEST(DongleChoice, EnvironmentPicksTheImplementation) {
  setenv("RXIQ_DONGLE", "sim:unplug=3", 1);
  auto chosen = dongle_from_environment();
  auto* sim = dynamic_cast<SimDongle*>(chosen.get());
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->choice.failure, SimFailure::unplug);
  EXPECT_EQ(sim->choice.failure_read, 3);
  EXPECT_TRUE(sim->paced) << "the user-facing simulator runs in real time";

  setenv("RXIQ_DONGLE", "tcp:[::1]:7000", 1);
  chosen = dongle_from_environment();
  auto* tcp = dynamic_cast<RtlTcpDongle*>(chosen.get());
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->where, "[::1]:7000");
  EXPECT_EQ(tcp->link, RtlTcpDongle::Link::untried) << "nothing is connected before the listing";

  unsetenv("RXIQ_DONGLE");
  chosen = dongle_from_environment();
  EXPECT_NE(dynamic_cast<RtlsdrDongle*>(chosen.get()), nullptr);
}
