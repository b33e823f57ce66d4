#include "engine/api/EngineApi.h"
#include "engine/api/EngineWiring.h"

#include <arpa/inet.h>

#include <cstring>
#include <exception>
#include <new>
#include <set>
#include <string>

#include "engine/task/EngineListener.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/QTimeThread.h"
#include "engine/base/ScopedLock.h"
#include "engine/net/TlsContext.h"
#include "engine/task/TaskRegistry.h"
#include "engine/task/TWorkThread.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Sockets.h"
#include "platform/ThreadIdentity.h"

namespace pf {
namespace {

// Where failed calls are told of.

char engineArgument[kEngineTextSize];  // filled by StartEngine, read by nobody

TWorkThread* FindWork(TaskHandle handle) {
  return static_cast<TWorkThread*>(TaskRegistry::Find(handle));
}

// Runs a task call under the interface lock with the registry check and the
// exception guard every task call has.
template <typename Body>
int32_t LockedTaskCall(const char* call, TaskHandle handle, Body body) {
  try {
    ScopedLock lock(&InterfaceLock());
    TWorkThread* work = FindWork(handle);
    if (!work) return kErrNotRegistered;
    try {
      return body(*work);
    } catch (...) {
      LogCaught(kLogEngine, call);
      return kErrException;
    }
  } catch (...) {
    LogCaught(kLogEngine, call);
    return kErrException;
  }
}

// Stopped tasks give their sources back; a reset also drops the run state.
void CleanUpStoppedTask(TWorkThread& work, int reset) {
  work.ClearUseMarks();
  if (reset != 0) work.Reset(TWorkThread::ResetScope::kEverything);
}

int32_t NewTask(TaskParams* params, bool recover, bool force) {
  if (!params) return kErrBadArgument;
  WireEngine();
  TWorkThread* work = nullptr;
  try {
    work = new TWorkThread();  // owned by the registry until StopEngine
  } catch (const std::bad_alloc&) {
    LogCaught(kLogEngine, "NewTask");
    return kErrOutOfMemory;
  }
  try {
    work->ApplyParams(*params, !recover);
    if (!force) {
      ScopedLock registryLock(&RegistryLock());
      for (TBaseWork* other : TaskRegistry::All()) {
        if (other != work && work->IsDuplicateOf(*other)) {
          registryLock.Unlock();
          delete work;
          return kErrDuplicateTask;
        }
      }
    }
    params->handle = work->Handle();
    LogLine(kLogTaskLife, "%s %s, Download, ID : %lu] [Target File : (%s) ", recover ? "Recover" : "Create",
            work->Label(), static_cast<unsigned long>(work->Handle()),
            work->TargetFilePath().c_str());
    return kOk;
  } catch (...) {
    LogCaught(kLogEngine, "NewTask");
    delete work;
    return kErrException;
  }
}

}  // namespace

int32_t StartEngine(const char* argument) {
  try {
    ScopedLock lock(&InterfaceLock());
    if (Switches().started) return kOk;
    if (!platform::SocketsStartup()) return kErrSockets;
    WireEngine();
    EngineListener::RefreshLocalAddress();
    if (argument) std::snprintf(engineArgument, sizeof(engineArgument), "%s", argument);
    Switches().started = true;
    return kOk;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

int32_t StopEngine() {
  try {
    ScopedLock lock(&InterfaceLock());
    if (!Switches().started) return kOk;
    // Each destructor stops its thread and leaves the registry. Their
    // "stopped" announces share one window, so that the exit stays short
    // however many tasks there are and however their trackers answer.
    TWorkWithPeers::EndStopAnnouncesBy((TickMs() + TWorkWithPeers::kStopAnnounceMs) | 1);
    while (TBaseWork* work = TaskRegistry::First()) delete work;
    TWorkWithPeers::EndStopAnnouncesBy(0);
    // Incoming connections that no task took go with the engine.
    EngineListener::Close();
    ServedInfoHashes::Clear();
    IncomingConnections::Clear();
    IncomingConnections::ClearReachable();
    StopTimeEnsure();
    platform::SocketsCleanup();
    Switches().started = false;
    return kOk;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

int32_t CreateTask(TaskParams* params) {
  try {
    ScopedLock lock(&InterfaceLock());
    const int32_t result = NewTask(params, false, false);
    if (result != kOk) return result;
    TWorkThread* work = FindWork(params->handle);
    return work ? work->StartDownload() : kErrException;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

int32_t RecoverTask(TaskParams* params, int force) {
  try {
    ScopedLock lock(&InterfaceLock());
    const int32_t result = NewTask(params, true, (force & 0xFF) != 0);
    if (result != kOk) return result;
    TWorkThread* work = FindWork(params->handle);
    return work ? work->ContinueDownload() : kErrException;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

int32_t ResumeTask(TaskHandle handle) {
  return LockedTaskCall(__func__, handle, [](TWorkThread& work) { return work.StartDownload(); });
}

int32_t StopTask(TaskHandle handle, int reset) {
  return LockedTaskCall(__func__, handle, [reset](TWorkThread& work) {
    work.StopWork();
    CleanUpStoppedTask(work, reset);
    return kOk;
  });
}

int32_t StopTasks(const TaskHandle* handles, uint32_t count, int reset, int32_t* results) {
  try {
    ScopedLock lock(&InterfaceLock());
    struct Pending {
      uint32_t index;
      TWorkThread* work;
      uint32_t threadId;
    };
    std::vector<Pending> pending;
    for (uint32_t i = 0; handles && i < count; ++i) {
      TWorkThread* work = FindWork(handles[i]);
      if (results) results[i] = work ? kOk : kErrNotRegistered;
      if (!work) continue;
      uint32_t threadId = 0;
      work->RequestStop(&threadId);
      pending.push_back({i, work, threadId});
    }
    while (!pending.empty()) {
      std::erase_if(pending, [&](const Pending& p) {
        if (!p.work->HasEnded(p.threadId)) return false;
        try {
          CleanUpStoppedTask(*p.work, reset);
        } catch (...) {
          LogCaught(kLogEngine, "StopTasks");
          if (results) results[p.index] = kErrException;
        }
        return true;
      });
      if (!pending.empty()) platform::SleepMs(50);
    }
    return kOk;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

int32_t GetTaskInfo(TaskHandle handle, TaskInfo* info) {
  return LockedTaskCall(__func__, handle, [info](TWorkThread& work) { return work.GetTaskInfo(info); });
}

int32_t IsTaskComplete(TaskHandle handle, int32_t* complete) {
  return LockedTaskCall(__func__, handle, [complete](TWorkThread& work) { return work.IsComplete(complete); });
}

int32_t GetSourceNotice(TaskHandle handle, int32_t index, int32_t* kind, char* text, int32_t size) {
  return LockedTaskCall(__func__, handle, [=](TWorkThread& work) { return work.GetSourceNotice(index, kind, text, size); });
}

int32_t SetTaskRateLimit(TaskHandle handle, int selector, int kilobytesPerSecond) {
  return LockedTaskCall(__func__, handle, [=](TWorkThread& work) {
    return work.SetRateLimit(selector, kilobytesPerSecond);
  });
}

int32_t SetTaskConnectionLimits(TaskHandle handle, int serverConnections, int peerConnections) {
  return LockedTaskCall(__func__, handle, [=](TWorkThread& work) {
    work.SetConnectionLimits(serverConnections, peerConnections);
    return kOk;
  });
}

int32_t GetPieceBitmapSize(TaskHandle handle) {
  try {
    // No interface lock: the size is a single published value. The registry
    // lookup stands in for the address check a pointer handle would not need.
    TWorkThread* work = FindWork(handle);
    return work ? work->PublishedBitmapSize() : -1;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return -1;
  }
}

int32_t GetPieceBitmap(TaskHandle handle, uint8_t* buffer, int32_t length) {
  const int32_t result = LockedTaskCall(__func__, handle, [=](TWorkThread& work) {
    return work.CopyPublishedBitmap(buffer, length);
  });
  return result == kErrNotRegistered || result == kErrException ? -1 : result;
}

int32_t ClearMirrorSources(TaskHandle handle) {
  return LockedTaskCall(__func__, handle, [](TWorkThread& work) {
    work.ClearMirrors();
    return kOk;
  });
}

int32_t AddMirrorSource(TaskHandle handle, const char* addresses, const char* hostNames) {
  return LockedTaskCall(__func__, handle, [=](TWorkThread& work) {
    work.AddMirrors(addresses, hostNames);
    return kOk;
  });
}

int32_t SetListenPort(int port) {
  Switches().listenPort = port;
  return kOk;
}

int32_t SetP2PEnabled(int enabled) {
  Switches().p2pEnabled = enabled != 0 ? 1 : 0;
  return kOk;
}

void SetHttpPreamble(int enabled) { Switches().httpPreamble = enabled != 0 ? 1 : 0; }

int32_t SetLocalAddress(const char* dotted) {
  if (!dotted || !*dotted) {
    Switches().bindAddress = 0;
    return kOk;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, dotted, &address) != 1) return kErrBadArgument;
  Switches().bindAddress = address.s_addr;
  return kOk;
}

int32_t AddTrustedCertificates(const char* pem) {
  try {
    const int added = pem ? TlsContext::AddTrusted(pem) : 0;
    return added > 0 ? added : kErrBadArgument;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return kErrException;
  }
}

uint64_t GetDiskFreeBytes(const char* path) {
  try {
    return platform::FreeBytesAvailable(path);
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return 0;
  }
}

int64_t GetFileAllocatedSize(const char* path) {
  try {
    if (!path) return -1;
    bool notFound = false;
    int64_t size = platform::AllocatedBytes(path, &notFound);
    if (size >= 0) return size;
    size = platform::AllocatedBytes((std::string(path) + ".pftmp").c_str(), &notFound);
    if (size >= 0) return size;
    return notFound ? 0 : -1;
  } catch (...) {
    LogCaught(kLogEngine, __func__);
    return -1;
  }
}

}  // namespace pf
