// The engine's clock: what is installed is what every reader sees, and a
// manual clock moves only when told, also for readers on other threads.
#include "engine/base/EngineClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "engine/base/QTimeThread.h"
#include "platform/Clock.h"
#include "support/ManualClock.h"

namespace pf {
namespace {

using testing::ManualClock;

TEST(EngineClock, TheSystemClockFollowsTheSystemTimeAndTheTick) {
  EngineClock& system = CurrentClock();
  EXPECT_LE(std::llabs(WallSeconds() - platform::SystemTimeSeconds()), 2);
  EXPECT_LE(KeptMonotonicSeconds() - MonotonicSeconds(), 1u);
  const uint32_t tick = TickMs();
  EXPECT_LE(platform::TickCount() - tick, 1000u);
  {
    ManualClock manual;
    EXPECT_EQ(&CurrentClock(), &manual);
    EXPECT_EQ(InstallClock(nullptr), &manual);
    EXPECT_EQ(&CurrentClock(), &system) << "nullptr puts the system clock back";
    InstallClock(&manual);
  }
  EXPECT_EQ(&CurrentClock(), &system) << "a manual clock leaves what it found";
}

TEST(EngineClock, AManualClockMovesOnlyWhenAdvancedAndWrapsItsTick) {
  ManualClock clock({.tick = 0xFFFFFC18u, .monotonic = 7, .wall = 1'000'000});  // 1000 ms before the wrap
  EXPECT_EQ(TickMs(), 0xFFFFFC18u);
  EXPECT_EQ(MonotonicSeconds(), 7u);
  EXPECT_EQ(WallSeconds(), 1'000'000);

  clock.Advance(999);
  EXPECT_EQ(TickMs(), 0xFFFFFFFFu);
  EXPECT_EQ(MonotonicSeconds(), 7u) << "seconds move by whole seconds";
  clock.Advance(1);
  EXPECT_EQ(TickMs(), 0u) << "the 32-bit tick wraps";
  EXPECT_EQ(TickMs() - 0xFFFFFC18u, 1000u) << "differences survive the wrap";
  EXPECT_EQ(MonotonicSeconds(), 8u);
  clock.AdvanceSeconds(12 * 3600);
  EXPECT_EQ(WallSeconds(), 1'000'001 + 12 * 3600);
}

TEST(EngineClock, ReadersOnOtherThreadsSeeTheClockMove) {
  ManualClock clock;
  const uint32_t start = TickMs();
  std::atomic<bool> sawEnd{false};
  std::thread reader([&] {
    uint32_t last = start;
    while (!sawEnd) {
      const uint32_t now = TickMs();
      EXPECT_GE(now - start, last - start) << "never backwards";
      last = now;
      sawEnd = now - start == 1000;
    }
  });
  for (int i = 0; i < 1000; ++i) clock.Advance(1);
  reader.join();
  EXPECT_EQ(MonotonicSeconds(), 1001u);
}

}  // namespace
}  // namespace pf
