#include "engine/base/QThread.h"

#include <chrono>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/ScopedLock.h"
#include "platform/Clock.h"
#include "platform/ThreadIdentity.h"

namespace pf {

QThread::~QThread() {
  Stop();
  JoinFinishedThread();
}

void QThread::Signal() {
  {
    std::lock_guard<std::mutex> lock(signalMutex_);
    ++generation_;
  }
  signal_.notify_all();
}

void QThread::WaitReleased(uint32_t milliseconds) {
  uint64_t seen;
  {
    std::lock_guard<std::mutex> lock(signalMutex_);
    seen = generation_;
  }
  mutex.Unlock();
  {
    std::unique_lock<std::mutex> lock(signalMutex_);
    signal_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                     [&] { return generation_ != seen; });
  }
  mutex.Lock();
}

void QThread::JoinFinishedThread() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void QThread::ClearRunFields() {
  threadId_ = 0;
  running_ = false;
  stopRequested_ = false;
  paused_ = false;
  startTime_ = 0;
}

bool QThread::IsRunning() const { return threadId_.load() != 0 && running_.load(); }

bool QThread::Start(const char* /*label*/) {
  if (IsRunning() || starting_.exchange(true)) return false;
  struct StartingFlag {
    std::atomic<bool>& flag;
    ~StartingFlag() { flag = false; }
  } startingFlag{starting_};
  if (IsRunning()) return false;

  // The previous run's thread has left its body; collect it before reuse.
  JoinFinishedThread();

  ScopedLock lock(&mutex);
  ClearRunFields();
  const uint32_t token = ++startCount_;
  try {
    std::lock_guard<std::mutex> joinLock(joinMutex_);
    thread_ = std::thread(&QThread::ThreadProc, this, token);
  } catch (...) {
    LogCaught(kLogEngine, "Start");
    return false;
  }
  while (!running_ && threadId_ == 0) WaitReleased(50);
  return IsRunning();
}

void QThread::ThreadProc(QThread* self, uint32_t startCount) {
  const uint32_t me = platform::CurrentThreadId();
  // Read the clock before taking the object's lock: starting the time keeper
  // takes its own lock, and no lock is taken under an object's lock that the
  // lock order does not allow.
  const uint32_t now = MonotonicSeconds();
  bool stopAlready;
  {
    ScopedLock lock(&self->mutex);
    if (self->startCount_ != startCount) return;  // superseded by a newer Start
    self->threadId_ = me;
    self->running_ = true;
    self->startTime_ = now;
    stopAlready = self->stopRequested_;
  }
  self->Signal();

  platform::SleepMs(5);
  bool threw = false;
  if (!stopAlready) {
    try {
      self->Run();
    } catch (...) {
      LogCaught(kLogEngine, "ThreadProc");
      threw = true;
    }
  }

  {
    ScopedLock lock(&self->mutex);
    if (self->startCount_ == startCount && self->threadId_ == me) self->ClearRunFields();
  }
  self->Signal();

  if (threw) {
    // A body that died inside a locked region must not leave the lock held.
    int levels = 0;
    while (self->mutex.Unlock()) ++levels;
    if (levels > 0)
      LogLine(kLogEngine, "TID : %5lu] [thread lock forced open at the thread's end (%d levels)",
              static_cast<unsigned long>(me), levels);
  }

  if (self->autoDelete.exchange(false)) {
    {
      std::lock_guard<std::mutex> lock(self->joinMutex_);
      self->thread_.detach();
    }
    delete self;
  }
}

bool QThread::Stop() {
  ScopedLock lock(&mutex);
  const bool runs = IsRunning();
  if (!runs || threadId_ == platform::CurrentThreadId()) return !runs;
  const uint32_t noted = threadId_;
  stopRequested_ = true;
  Signal();
  while (threadId_ == noted && running_) WaitReleased(50);
  if (threadId_ == noted) ClearRunFields();
  return true;
}

bool QThread::RequestStop(uint32_t* threadId) {
  ScopedLock lock(&mutex);
  if (threadId) *threadId = threadId_;
  const bool runs = IsRunning();
  if (runs) {
    stopRequested_ = true;
    Signal();
  }
  return runs;
}

bool QThread::HasEnded(uint32_t threadId) const {
  return threadId == 0 || threadId_.load() != threadId || !running_.load();
}

bool QThread::CheckStop() {
  if (paused_.load()) {
    ScopedLock lock(&mutex);
    while (IsRunning() && !stopRequested_ && paused_) WaitReleased(1000);
  }
  return stopRequested_.load();
}

bool QThread::SetPaused(bool paused) {
  ScopedLock lock(&mutex);
  const bool runs = IsRunning();
  paused_ = runs && paused;
  Signal();
  return runs;
}

bool QThread::IsPaused() const { return IsRunning() && paused_.load(); }

void QThread::SleepSeconds(int n) {
  const int steps = n <= 1 ? 1 : n;
  for (int step = 1;; ++step) {
    {
      std::unique_lock<std::mutex> lock(signalMutex_);
      signal_.wait_for(lock, std::chrono::milliseconds(1000),
                       [&] { return stopRequested_.load(); });
    }
    if (step >= steps) return;
    if (CheckStop()) return;
  }
}

}  // namespace pf
