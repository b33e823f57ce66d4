#pragma once
// Millisecond ticks, sleeps and the system's wall clock.
#include <cstdint>

namespace pf::platform {

// Milliseconds since an arbitrary start, as a 32-bit value that wraps after
// about 49.7 days. Timers built on it must survive the wrap.
uint32_t TickCount();

// Replaces the tick source (tests use this to make the count wrap on demand);
// nullptr restores the steady clock.
using TickSource = uint32_t (*)();
void SetTickSource(TickSource source);

void SleepMs(uint32_t milliseconds);

// Seconds since 1970 from the system clock.
int64_t SystemTimeSeconds();

}  // namespace pf::platform
