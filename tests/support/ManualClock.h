#pragma once
// An engine clock that stands still until the test moves it on. It is
// installed for the whole process while it lives, and the clock it replaced
// comes back when it goes, also when a failed assertion ends the test early.
// Declare it before any object whose threads read the clock.
#include <atomic>
#include <cstdint>

#include "engine/base/EngineClock.h"

namespace pf::testing {

class ManualClock final : public EngineClock {
 public:
  struct Start {
    uint32_t tick = 0x40000000;    // near 0xFFFFFFFF to see the count wrap
    uint32_t monotonic = 1000;     // 0 means "never" to some readers
    int64_t wall = 1'700'000'000;
  };

  ManualClock() : ManualClock(Start{}) {}
  explicit ManualClock(Start start) : start_(start), previous_(InstallClock(this)) {}
  ~ManualClock() { InstallClock(previous_); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  // Seconds move by whole seconds of the tick, as the system clock's do.
  uint32_t TickMs() override { return start_.tick + static_cast<uint32_t>(elapsedMs_.load()); }
  uint32_t MonotonicSeconds() override {
    return start_.monotonic + static_cast<uint32_t>(elapsedMs_.load() / 1000);
  }
  int64_t WallSeconds() override { return start_.wall + static_cast<int64_t>(elapsedMs_.load() / 1000); }

  void Advance(uint64_t milliseconds) { elapsedMs_ += milliseconds; }
  void AdvanceSeconds(uint64_t seconds) { Advance(seconds * 1000); }

 private:
  const Start start_;
  // Written by the test, read by the engine's threads.
  std::atomic<uint64_t> elapsedMs_{0};
  EngineClock* const previous_;
};

}  // namespace pf::testing
