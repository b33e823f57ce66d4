#include "engine/base/EngineLocks.h"

namespace pf {

QTMutex& InterfaceLock() {
  static QTMutex lock;
  return lock;
}

QTMutex& RegistryLock() {
  static QTMutex lock;
  return lock;
}

QTMutex& HostListLock() {
  static QTMutex lock;
  return lock;
}

QTMutex& StorageLock() {
  static QTMutex lock;
  return lock;
}

}  // namespace pf
