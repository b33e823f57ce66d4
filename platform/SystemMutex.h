#pragma once
// A mutex with the semantics of an operating-system mutex object: recursive,
// owned by a thread, waitable with a time-out, and releasable only by its
// owner (a foreign release fails instead of corrupting the lock).
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace pf::platform {

class SystemMutex {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  // Waits until the calling thread owns the mutex; false on time-out.
  bool Wait(uint32_t timeoutMs);
  // Gives up one level of ownership; false when the caller is not the owner.
  bool Release();

 private:
  std::mutex guard_;
  std::condition_variable freed_;
  uint32_t owner_ = 0;
  uint32_t count_ = 0;
};

}  // namespace pf::platform
