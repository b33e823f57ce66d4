#pragma once
#include <cstdint>

namespace pf {

// The time keeper's counting: whole seconds of the millisecond tick since a
// base tick, added to the wall and monotonic seconds held at the base. When
// the 32-bit tick wraps, exactly one second is counted and counting starts
// again from the new tick.
class TickSeconds {
 public:
  TickSeconds(uint32_t tick, int64_t wallSeconds, uint32_t monotonicSeconds)
      : baseTick_(tick), wallBase_(wallSeconds), monotonicBase_(monotonicSeconds),
        wall_(wallSeconds), monotonic_(monotonicSeconds) {}

  void Follow(uint32_t tick);
  int64_t Wall() const { return wall_; }
  uint32_t Monotonic() const { return monotonic_; }

 private:
  uint32_t baseTick_;
  int64_t wallBase_;
  uint32_t monotonicBase_;
  int64_t wall_;
  uint32_t monotonic_;
};

}  // namespace pf
