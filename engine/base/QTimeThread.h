#pragma once
#include <cstdint>

#include "engine/base/QThread.h"

namespace pf {

// The time keeper: advances the engine's wall and monotonic second clocks
// from the millisecond tick count, once per second, so that time-outs do not
// jump when the system clock is changed.
class QTimeThread : public QThread {
 public:
  ~QTimeThread() override { Stop(); }
  void Run() override;
  void Refresh() override {}
};

// Starts the time keeper once per process.
void TimeEnsure();
// Stops and destroys the time keeper.
void StopTimeEnsure();
// Seconds since the process first started the time keeper (starts it if needed).
uint32_t MonotonicSeconds();
// Seconds since 1970 as kept by the time keeper (starts it if needed); the
// system time while the keeper has not set it yet.
int64_t WallSeconds();

}  // namespace pf
