#include "engine/base/QTimeThread.h"

#include <atomic>
#include <memory>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/ScopedLock.h"
#include "engine/base/TickSeconds.h"
#include "platform/Clock.h"

namespace pf {
namespace {

std::atomic<int64_t> wallSeconds{0};
std::atomic<uint32_t> monotonicSeconds{0};

// Owned here; the atomic mirror lets readers test for the keeper without the
// registry lock.
std::unique_ptr<QTimeThread> keeper;
std::atomic<QTimeThread*> keeperPointer{nullptr};

}  // namespace

void QTimeThread::Run() {
  if (wallSeconds.load() == 0) wallSeconds = platform::SystemTimeSeconds();
  TickSeconds seconds(platform::TickCount(), wallSeconds.load(), monotonicSeconds.load());
  for (;;) {
    seconds.Follow(platform::TickCount());
    wallSeconds = seconds.Wall();
    monotonicSeconds = seconds.Monotonic();
    for (int i = 0; i < 10; ++i) {
      if (CheckStop()) return;
      platform::SleepMs(100);
    }
    if (CheckStop()) return;
  }
}

void TimeEnsure() {
  if (keeperPointer.load()) return;
  ScopedLock lock(&TimeKeeperLock());
  if (keeper) return;
  wallSeconds = 0;
  keeper = std::make_unique<QTimeThread>();
  keeperPointer = keeper.get();
  keeper->Start("TimeEnsure");
}

void StopTimeEnsure() {
  std::unique_ptr<QTimeThread> stopping;
  {
    ScopedLock lock(&TimeKeeperLock());
    stopping = std::move(keeper);
    keeperPointer = nullptr;
  }
  if (!stopping) return;
  stopping->Stop();
  LogLine(kLogThreadStopped, "Time Ensure Thread Stopped.. ");
}

uint32_t KeptMonotonicSeconds() {
  if (!keeperPointer.load()) TimeEnsure();
  return monotonicSeconds.load();
}

int64_t KeptWallSeconds() {
  if (!keeperPointer.load()) TimeEnsure();
  const int64_t wall = wallSeconds.load();
  return wall != 0 ? wall : platform::SystemTimeSeconds();
}

}  // namespace pf
