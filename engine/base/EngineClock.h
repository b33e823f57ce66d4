#pragma once
// The engine's one clock: every reading of time in the engine goes through
// the installed clock, so a test can install one of its own and move time on
// instead of waiting for it.
#include <cstdint>

namespace pf {

class EngineClock {
 public:
  // Milliseconds from an arbitrary start as a 32-bit count that wraps after
  // about 49.7 days: compare ticks by their unsigned difference.
  virtual uint32_t TickMs() = 0;
  // Whole seconds counted from the tick; a change of the system clock does
  // not move them.
  virtual uint32_t MonotonicSeconds() = 0;
  // Seconds since 1970: the system time when counting began, then moved on
  // with the monotonic seconds.
  virtual int64_t WallSeconds() = 0;

 protected:
  ~EngineClock() = default;
};

// The installed clock: the system's unless a test installed another.
EngineClock& CurrentClock();
// Installs `clock` for the whole process (nullptr: the system's) and answers
// the one it replaces. A clock must outlive its installation and every
// thread that may still be reading it.
EngineClock* InstallClock(EngineClock* clock);

inline uint32_t TickMs() { return CurrentClock().TickMs(); }
inline uint32_t MonotonicSeconds() { return CurrentClock().MonotonicSeconds(); }
inline int64_t WallSeconds() { return CurrentClock().WallSeconds(); }

}  // namespace pf
