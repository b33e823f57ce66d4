// The time keeper's counting, step by step, without its thread.
#include "engine/base/TickSeconds.h"

#include <gtest/gtest.h>

namespace pf {
namespace {

TEST(TickSeconds, CountsWholeSecondsFromTheBaseAndOneAcrossTheTickWrap) {
  constexpr uint32_t kBase = 0xFFFFF000u;  // 4.096 s before the 32-bit count wraps
  constexpr int64_t kWall = 1'700'000'000;
  constexpr uint32_t kMonotonic = 500;
  struct Step {
    const char* what;
    uint32_t tick;
    uint32_t seconds;  // expected, counted from the start
  } steps[] = {
      {"nothing moved", kBase, 0},
      {"not yet a second", kBase + 999, 0},
      {"one second", kBase + 1000, 1},
      {"parts of seconds add up from the base", kBase + 2500, 2},
      {"a frozen tick holds the clocks", kBase + 2500, 2},
      {"the count wrapped: exactly one more second", 100, 3},
      {"counting goes on from the new base", 100 + 999, 3},
      {"whole seconds from the new base", 100 + 4999, 7},
  };
  TickSeconds seconds(kBase, kWall, kMonotonic);
  for (const Step& s : steps) {
    seconds.Follow(s.tick);
    EXPECT_EQ(seconds.Monotonic(), kMonotonic + s.seconds) << s.what;
    EXPECT_EQ(seconds.Wall(), kWall + s.seconds) << s.what;
  }
}

}  // namespace
}  // namespace pf
