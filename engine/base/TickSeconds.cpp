#include "engine/base/TickSeconds.h"

namespace pf {

void TickSeconds::Follow(uint32_t tick) {
  if (tick < baseTick_) {
    baseTick_ = tick;
    wallBase_ = ++wall_;
    monotonicBase_ = ++monotonic_;
    return;
  }
  const uint32_t elapsed = (tick - baseTick_) / 1000;
  wall_ = wallBase_ + elapsed;
  monotonic_ = monotonicBase_ + elapsed;
}

}  // namespace pf
