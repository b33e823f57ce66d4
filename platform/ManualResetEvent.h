#pragma once
// An event that stays signalled until reset, which any number of threads
// wait for (a Win32 manual-reset event).
#include <condition_variable>
#include <mutex>

namespace pf::platform {

class ManualResetEvent {
 public:
  void Set();
  void Reset();
  // True when the event is signalled, at once or within `timeoutMs`.
  bool WaitFor(int timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;  // guarded by mutex_
};

}  // namespace pf::platform
