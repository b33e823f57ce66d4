#include "engine/base/QTMutex.h"

#include "platform/ThreadIdentity.h"

namespace pf {

bool QTMutex::Create() {
  if (!handle_) handle_ = std::make_unique<platform::SystemMutex>();
  owner_ = 0;
  depth_ = 0;
  closed_ = false;
  return true;
}

bool QTMutex::Lock() {
  const uint32_t self = platform::CurrentThreadId();
  if (owner_.load(std::memory_order_acquire) == self) {
    ++depth_;
    return true;
  }
  if (closed_ || !handle_->Wait(platform::SystemMutex::kInfinite)) return false;
  depth_ = 1;
  owner_.store(self, std::memory_order_release);
  return true;
}

bool QTMutex::TryLock() {
  const uint32_t self = platform::CurrentThreadId();
  const uint32_t owner = owner_.load(std::memory_order_acquire);
  if (owner != 0) {
    if (owner != self) return false;
    ++depth_;
    return true;
  }
  if (closed_ || !handle_->Wait(0)) return false;
  depth_ = 1;
  owner_.store(self, std::memory_order_release);
  return true;
}

bool QTMutex::Unlock() {
  const uint32_t self = platform::CurrentThreadId();
  if (owner_.load(std::memory_order_acquire) != self) return false;
  if (--depth_ > 0) return true;
  owner_.store(0, std::memory_order_release);
  if (!handle_->Release()) {
    owner_.store(self, std::memory_order_release);
    depth_ = 1;
    return false;
  }
  return true;
}

void QTMutex::Close() {
  if (!handle_ || closed_.exchange(true)) return;
  // Whoever still holds the mutex finishes first. The system object itself
  // stays alive until destruction so that a late waiter never touches freed
  // memory.
  if (owner_.load(std::memory_order_acquire) != platform::CurrentThreadId())
    handle_->Wait(platform::SystemMutex::kInfinite);
  owner_.store(0, std::memory_order_release);
  depth_ = 0;
  handle_->Release();
}

}  // namespace pf
