#pragma once
#include "engine/base/QBaseMutex.h"

namespace pf {

// Holds a QBaseMutex for a scope; unlocks on destruction only when the lock
// was actually taken.
class ScopedLock {
 public:
  explicit ScopedLock(QBaseMutex* mutex, bool lockNow = true) : mutex_(mutex) {
    if (lockNow && mutex_) locked_ = mutex_->Lock();
  }
  ~ScopedLock() { Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  bool Lock() {
    if (mutex_ && !locked_) locked_ = mutex_->Lock();
    return locked_;
  }
  bool TryLock() {
    if (mutex_ && !locked_) locked_ = mutex_->TryLock();
    return locked_;
  }
  void Unlock() {
    if (mutex_ && locked_) {
      locked_ = false;
      mutex_->Unlock();
    }
  }
  bool IsLocked() const { return locked_; }

 private:
  QBaseMutex* mutex_;
  bool locked_ = false;
};

}  // namespace pf
