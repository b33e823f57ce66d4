#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/base/QBaseMutex.h"
#include "platform/SystemMutex.h"

namespace pf {

// Recursive mutex that tracks its owner and depth itself, so that Unlock
// keeps answering true while the caller still held a level: calling it until
// it fails releases everything the calling thread holds.
class QTMutex : public QBaseMutex {
 public:
  QTMutex() { Create(); }
  ~QTMutex() override { Close(); }
  QTMutex(const QTMutex&) = delete;
  QTMutex& operator=(const QTMutex&) = delete;

  bool Create() override;
  void Close() override;
  bool Lock() override;
  bool TryLock() override;
  bool Unlock() override;

  uint32_t Owner() const { return owner_.load(std::memory_order_acquire); }

 private:
  std::unique_ptr<platform::SystemMutex> handle_;
  std::atomic<bool> closed_{false};
  std::atomic<uint32_t> owner_{0};
  int depth_ = 0;  // touched only by the owner
};

}  // namespace pf
