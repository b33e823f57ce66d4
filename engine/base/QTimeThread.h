#pragma once
#include <cstdint>

#include "engine/base/QThread.h"

namespace pf {

// The time keeper: advances the system clock's wall and monotonic seconds
// (see EngineClock.h) from the millisecond tick count, once per second, so
// that time-outs do not jump when the system clock is changed.
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
// Seconds since the process first started the time keeper (starts it if
// needed). Engine code reads MonotonicSeconds() of the installed clock.
uint32_t KeptMonotonicSeconds();
// Seconds since 1970 as kept by the time keeper (starts it if needed); the
// system time while the keeper has not set it yet. Engine code reads
// WallSeconds() of the installed clock.
int64_t KeptWallSeconds();

}  // namespace pf
