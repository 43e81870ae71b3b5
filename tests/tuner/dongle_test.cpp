#include "tuner/dongle.h"

#include <gtest/gtest.h>


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

TEST(DongleChoice, TcpTakesHostAndPortInEveryForm) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
  };
  const Case good[] = {{"tcp:pi.local", "pi.local", 1234},
                       {"tcp:10.0.0.2:7373", "10.0.0.2", 7373},
                       {"tcp:[::1]", "::1", 1234},
                       {"tcp:[fe80::1%eth0]:65535", "fe80::1%eth0", 65535},
                       {"tcp:h:1", "h", 1}};
  DongleChoice c;
  for (const Case& g : good) {
    ASSERT_TRUE(parse_dongle_choice(g.text, c)) << g.text;
    EXPECT_EQ(c.kind, DongleKind::tcp) << g.text;
    EXPECT_EQ(c.host, g.host) << g.text;
    EXPECT_EQ(c.port, g.port) << g.text;
  }
  for (const char* bad : {"tcp", "tcp:", "tcp::1234", "tcp:::1", "tcp:host:", "tcp:host:0",
                          "tcp:host:65536", "tcp:host:12a", "tcp:host:-1", "tcp:[::1",
                          "tcp:[::1]x", "tcp:[::1]:", "tcp:[]:1234", "tcp:a:1:2", "TCP:host"}) {
    EXPECT_FALSE(parse_dongle_choice(bad, c)) << bad;
    EXPECT_EQ(c.kind, DongleKind::librtlsdr) << bad;
    EXPECT_EQ(c.host, "") << bad;
  }
}
