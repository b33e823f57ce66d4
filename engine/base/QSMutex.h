#pragma once
#include <atomic>
#include <memory>

#include "engine/base/QBaseMutex.h"
#include "platform/SystemMutex.h"

namespace pf {

// Thin wrapper of a system mutex: recursion and ownership are the system
// object's (a release by a thread that does not own it fails).
class QSMutex : public QBaseMutex {
 public:
  QSMutex() { Create(); }
  ~QSMutex() override { Close(); }
  QSMutex(const QSMutex&) = delete;
  QSMutex& operator=(const QSMutex&) = delete;

  bool Create() override;
  void Close() override;
  bool Lock() override;
  bool TryLock() override;
  bool Unlock() override;

 private:
  std::unique_ptr<platform::SystemMutex> handle_;
  std::atomic<bool> closed_{false};
};

}  // namespace pf
