#pragma once

namespace pf {

// Abstract mutex of the engine. Lock, TryLock and Unlock answer whether they
// succeeded; a failed Lock leaves the mutex untaken.
class QBaseMutex {
 public:
  virtual bool Create() = 0;
  virtual void Close() = 0;
  virtual ~QBaseMutex() = default;
  virtual bool Lock() = 0;
  virtual bool TryLock() = 0;
  virtual bool Unlock() = 0;
};

}  // namespace pf
