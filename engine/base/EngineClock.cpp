#include "engine/base/EngineClock.h"

#include <atomic>

#include "engine/base/QTimeThread.h"
#include "platform/Clock.h"

namespace pf {
namespace {

// The system's tick, and the seconds the time keeper counts from it.
class SystemClock final : public EngineClock {
 public:
  uint32_t TickMs() override { return platform::TickCount(); }
  uint32_t MonotonicSeconds() override { return KeptMonotonicSeconds(); }
  int64_t WallSeconds() override { return KeptWallSeconds(); }
};

constinit SystemClock systemClock;
// Read on every tick of every task: one atomic load, no lock.
constinit std::atomic<EngineClock*> installed{&systemClock};

}  // namespace

EngineClock& CurrentClock() { return *installed.load(std::memory_order_acquire); }

EngineClock* InstallClock(EngineClock* clock) {
  return installed.exchange(clock ? clock : &systemClock, std::memory_order_acq_rel);
}

}  // namespace pf
