#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/base/QTimeThread.h"
#include "platform/Clock.h"

namespace pf {
namespace {

std::atomic<uint32_t> fakeTicks{0};
uint32_t FakeTicks() { return fakeTicks.load(); }

// The keeper reads the tick count about once a second; wait for it to show
// the expected monotonic value.
bool WaitForMonotonic(uint32_t expected) {
  for (int i = 0; i < 40; ++i) {
    if (MonotonicSeconds() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

class TimeKeeper : public ::testing::Test {
 protected:
  void SetUp() override {
    StopTimeEnsure();
    fakeTicks = 0xFFFFF000u;  // 4.096 s before the 32-bit count wraps
    platform::SetTickSource(&FakeTicks);
    TimeEnsure();
    // Let the keeper take its base from the fake count before a test moves it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  void TearDown() override {
    StopTimeEnsure();
    platform::SetTickSource(nullptr);
  }
};

TEST_F(TimeKeeper, ClocksAdvanceByWholeSecondsAndSurviveTheTickWrap) {
  const uint32_t mono0 = MonotonicSeconds();
  const int64_t wall0 = WallSeconds();
  EXPECT_NEAR(static_cast<double>(wall0), static_cast<double>(platform::SystemTimeSeconds()), 2.0);

  fakeTicks = 0xFFFFF000u + 2500;  // 2.5 s later: two whole seconds
  ASSERT_TRUE(WaitForMonotonic(mono0 + 2));
  EXPECT_EQ(WallSeconds(), wall0 + 2);

  fakeTicks = 100;  // the count wrapped: exactly one more second, new base
  ASSERT_TRUE(WaitForMonotonic(mono0 + 3));
  EXPECT_EQ(WallSeconds(), wall0 + 3);

  fakeTicks = 100 + 4999;  // counting goes on from the new base
  ASSERT_TRUE(WaitForMonotonic(mono0 + 7));
  EXPECT_EQ(WallSeconds(), wall0 + 7);
}

TEST_F(TimeKeeper, SystemClockChangesDoNotMoveTheClocks) {
  // With the tick count frozen, the clocks stand still whatever the system
  // clock does.
  const uint32_t mono0 = MonotonicSeconds();
  const int64_t wall0 = WallSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(MonotonicSeconds(), mono0);
  EXPECT_EQ(WallSeconds(), wall0);
}

}  // namespace
}  // namespace pf
