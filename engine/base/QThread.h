#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/base/QTMutex.h"

namespace pf {

// Base of every engine thread. The object outlives its runs: after the body
// returns the object is idle and Start runs the body again on a new thread.
//
// State changes (running, ended, stop and pause requests) are signalled, so
// the waits in Start, Stop, CheckStop and SleepSeconds wake at once instead of
// polling; the 50 ms / 1 s steps remain only as an upper bound per wait.
class QThread {
 public:
  QThread() = default;
  virtual ~QThread();
  QThread(const QThread&) = delete;
  QThread& operator=(const QThread&) = delete;

  virtual void Run() = 0;
  virtual void Refresh() = 0;
  // Sleeps n seconds (at least one) in one-second steps, returning early once
  // a stop is requested.
  virtual void SleepSeconds(int n);
  virtual void Hook(void*) {}

  // Starts the body; false when a thread already runs or cannot be created.
  // The label names the call site for diagnostics only.
  bool Start(const char* label);
  // Requests a stop and waits until the body has returned. From inside the
  // thread itself it returns false at once.
  bool Stop();
  // Requests a stop without waiting; reports the running thread's id.
  bool RequestStop(uint32_t* threadId);
  bool HasEnded(uint32_t threadId) const;
  bool IsRunning() const;
  // Polling point of a body: holds a paused thread until it is resumed or
  // stopped, then answers whether a stop was requested.
  bool CheckStop();
  bool SetPaused(bool paused);
  bool IsPaused() const;

  // Whether a stop was asked for (without waiting in a pause).
  bool StopRequested() const { return stopRequested_.load(); }
  uint32_t ThreadId() const { return threadId_.load(); }
  uint32_t StartTime() const { return startTime_.load(); }
  uint32_t StartCount() const { return startCount_.load(); }

  // The object's own lock; for a task's work object it is the task lock.
  QTMutex mutex;

 protected:
  std::atomic<bool> autoDelete{false};

 private:
  static void ThreadProc(QThread* self, uint32_t startCount);
  void ClearRunFields();
  void Signal();
  // Releases one level of `mutex`, waits for a signal or the time-out, then
  // takes the level back. Call with `mutex` held.
  void WaitReleased(uint32_t milliseconds);
  void JoinFinishedThread();

  std::atomic<uint32_t> threadId_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> starting_{false};
  std::atomic<uint32_t> startTime_{0};
  std::atomic<uint32_t> startCount_{0};

  std::mutex joinMutex_;
  std::thread thread_;

  mutable std::mutex signalMutex_;
  std::condition_variable signal_;
  uint64_t generation_ = 0;
};

}  // namespace pf
