#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Long enough that a lost wake-up shows as a failed wait, never as a slow pass.
constexpr int lost_wake_limit_ms = 20000;

TEST(WakeEvent, SetsBeforeTheWaitAreRememberedAsOne) {
  WakeEvent event;
  EXPECT_FALSE(wake_event_wait(event, 0));
  wake_event_set(event);
  wake_event_set(event);
  EXPECT_TRUE(wake_event_wait(event, 0));
  EXPECT_FALSE(wake_event_wait(event, 0));
  EXPECT_FALSE(wake_event_wait(event, 1));  // nothing set: the limit ends it
}

TEST(WakeEvent, SetWakesASleepingWaiterAndNoneIsLostInAPingPong) {
  WakeEvent event;
  bool woken = false;
  std::thread waiter([&] { woken = wake_event_wait(event, lost_wake_limit_ms); });
  while (event.state.load() != 2) std::this_thread::yield();  // asleep in the kernel
  wake_event_set(event);
  waiter.join();
  EXPECT_TRUE(woken);

  // Sets that race the waiter's way into its sleep, in every order.
  constexpr int rounds = 2000;
  WakeEvent ping, pong;
  int missed = 0;
  std::thread other([&] {
    for (int n = 0; n < rounds; ++n) {
      if (!wake_event_wait(ping, lost_wake_limit_ms)) ++missed;
      wake_event_set(pong);
    }
  });
  int missed_here = 0;
  for (int n = 0; n < rounds; ++n) {
    wake_event_set(ping);
    if (!wake_event_wait(pong, lost_wake_limit_ms)) ++missed_here;
  }
  other.join();
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(missed_here, 0);
}

}  // namespace
