#include "engine/base/EngineLocks.h"

namespace pf {

#define PF_ENGINE_LOCK(name) \
  QTMutex& name() {          \
    static QTMutex lock;     \
    return lock;             \
  }

PF_ENGINE_LOCK(InterfaceLock)
PF_ENGINE_LOCK(RegistryLock)
PF_ENGINE_LOCK(ListenerLock)
PF_ENGINE_LOCK(IncomingLock)
PF_ENGINE_LOCK(ServedHashLock)
PF_ENGINE_LOCK(HostListLock)
PF_ENGINE_LOCK(StorageLock)
PF_ENGINE_LOCK(TimeKeeperLock)

#undef PF_ENGINE_LOCK

}  // namespace pf
