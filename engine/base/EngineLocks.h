#pragma once
// The engine's process-wide locks. Order: interface lock, then registry lock,
// then a task's own lock. Work threads never take the interface lock.
#include "engine/base/QTMutex.h"

namespace pf {

QTMutex& InterfaceLock();
QTMutex& RegistryLock();   // task registry, served info-hashes, first-task set-up
QTMutex& HostListLock();   // the resolver's process-wide host lists
QTMutex& StorageLock();    // piece map and file storage

}  // namespace pf
