#include "engine/base/QSMutex.h"

namespace pf {

bool QSMutex::Create() {
  if (!handle_) handle_ = std::make_unique<platform::SystemMutex>();
  closed_ = false;
  return true;
}

bool QSMutex::Lock() { return !closed_ && handle_->Wait(platform::SystemMutex::kInfinite); }

bool QSMutex::TryLock() { return !closed_ && handle_->Wait(0); }

bool QSMutex::Unlock() { return handle_->Release(); }

void QSMutex::Close() {
  if (closed_.exchange(true)) return;
  // Waits for the holder to finish; the object lives on until destruction.
  handle_->Wait(platform::SystemMutex::kInfinite);
  while (handle_->Release()) {
  }
}

}  // namespace pf
