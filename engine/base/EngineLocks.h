#pragma once
// The engine's process-wide locks, and the order in which they nest.
//
// A thread that holds several takes them in this order, never backwards:
//   1. InterfaceLock    every call of the call interface; work threads never take it
//   2. RegistryLock     the task registry and the first task's set-up of the
//                       shared services (and their stop with the last task)
//   3. a task's own lock (QThread::mutex): its configuration, published status,
//                       source and mirror lists, task state strings (each
//                       field says so where it is declared)
//   4. ListenerLock     the process-wide listening socket and its address
//   5. IncomingLock     accepted connections waiting to be matched to a task
//   6. ServedHashLock   the info-hashes the tasks serve
// Leaf locks, under which no other lock is taken:
//   HostListLock        the resolver's lists of names that do not exist
//   StorageLock         file handles and writes of the piece maps
//   TimeKeeperLock      the start and stop of the time keeper thread
#include "engine/base/QTMutex.h"

namespace pf {

QTMutex& InterfaceLock();
QTMutex& RegistryLock();
QTMutex& ListenerLock();
QTMutex& IncomingLock();
QTMutex& ServedHashLock();
QTMutex& HostListLock();
QTMutex& StorageLock();
QTMutex& TimeKeeperLock();

}  // namespace pf
