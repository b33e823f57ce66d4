#pragma once
// Millisecond ticks, sleeps and the system's wall clock. The engine reads
// time through its own clock (engine/base/EngineClock.h), which tests can
// replace; these are the system's readings behind it.
#include <cstdint>

namespace pf::platform {

// Milliseconds since an arbitrary start, as a 32-bit value that wraps after
// about 49.7 days. Timers built on it must survive the wrap.
uint32_t TickCount();

void SleepMs(uint32_t milliseconds);

// Seconds since 1970 from the system clock.
int64_t SystemTimeSeconds();

}  // namespace pf::platform
