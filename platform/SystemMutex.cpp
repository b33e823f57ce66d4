#include "platform/SystemMutex.h"

#include <chrono>

#include "platform/ThreadIdentity.h"

namespace pf::platform {

bool SystemMutex::Wait(uint32_t timeoutMs) {
  const uint32_t self = CurrentThreadId();
  std::unique_lock<std::mutex> lock(guard_);
  if (owner_ == self) {
    ++count_;
    return true;
  }
  auto isFree = [this] { return owner_ == 0; };
  if (timeoutMs == kInfinite) {
    freed_.wait(lock, isFree);
  } else if (!freed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree)) {
    return false;
  }
  owner_ = self;
  count_ = 1;
  return true;
}

bool SystemMutex::Release() {
  std::lock_guard<std::mutex> lock(guard_);
  if (owner_ != CurrentThreadId() || count_ == 0) return false;
  if (--count_ == 0) {
    owner_ = 0;
    freed_.notify_one();
  }
  return true;
}

}  // namespace pf::platform
