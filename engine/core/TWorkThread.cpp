#include "engine/core/TWorkThread.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <strings.h>

#include "engine/core/EngineLocks.h"
#include "engine/core/QTimeThread.h"
#include "engine/core/ScopedLock.h"
#include "platform/Clock.h"

namespace pf {

TWorkThread::TWorkThread() { Reset(false, false); }

TWorkThread::~TWorkThread() {
  // The thread must be gone before any layer of the object is torn down.
  Stop();
  Reset(true, true);
}

int32_t TWorkThread::StopWork() { return Stop() ? kOk : kErrException; }

int32_t TWorkThread::StartDownload() { return Start("StartDownload") ? kOk : kErrException; }

int32_t TWorkThread::ContinueDownload() {
  // The task state file is read at the start of every run.
  return Start("ContinueDownload") ? kOk : kErrException;
}

int32_t TWorkThread::PauseWork() { return SetPaused(true) ? kOk : kErrException; }

int32_t TWorkThread::ResumeWork() { return StartDownload(); }

TaskConfig TWorkThread::Config() {
  ScopedLock lock(&mutex);
  return config;
}

int32_t TWorkThread::GetTaskInfo(TaskInfo* info) {
  if (!info) return kErrBadArgument;
  std::memset(info, 0, sizeof(*info));
  ScopedLock lock(&mutex);
  const TaskStatus& s = published;
  std::snprintf(info->name, sizeof(info->name), "%s", s.name.c_str());
  const int64_t progress = s.totalBytes > 0 ? s.doneBytes * 10000 / s.totalBytes : 0;
  info->progress = static_cast<int32_t>(progress);
  info->state = progress >= 10000 ? kStateComplete : s.stateCode;
  info->speed = s.currentSpeed;
  info->remaining = s.remainingSeconds;
  info->totalKB = static_cast<int32_t>(s.totalBytes / 1024);
  info->httpBytes = s.httpBytes;
  info->peerBytes = s.peerBytes;
  info->doneBytes = s.doneBytes;
  return kOk;
}

int32_t TWorkThread::IsComplete(int32_t* complete) {
  ScopedLock lock(&mutex);
  const int64_t total = published.totalBytes;
  const bool done = total != 0 && published.doneBytes * 10000 / total > 9999;
  if (complete) *complete = done ? 1 : 0;
  return kOk;
}

int32_t TWorkThread::SetRateLimit(int selector, int kilobytesPerSecond) {
  if (selector != 0 && selector != 1) return kErrBadArgument;
  ScopedLock lock(&mutex);
  (selector == 1 ? config.downloadLimitKB : config.uploadLimitKB) = kilobytesPerSecond;
  config.Validate();
  return kOk;
}

void TWorkThread::Reset(bool dropMetadata, bool clearRunState) {
  ScopedLock lock(&mutex);
  ResetPool();
  ResetAccounting();
  if (dropMetadata) {
    metadataReady = 0;
    SizeBitmap(0);
  }
  if (clearRunState) {
    live.Reset();
    published.Reset();
    completed = 0;
    for (StateString* s : {&torrent, &part, &bits, &seeds}) *s = StateString();
    PublishBitmap();
  }
}

void TWorkThread::Publish(bool applyChanges, bool force) {
  ScopedLock lock(&mutex, false);
  if (!(force ? lock.Lock() : lock.TryLock())) return;
  if (applyChanges && (bitmapChanged || force)) PublishBitmap();
  published = live;
}

void TWorkThread::Refresh() {
  // The piece map's counters are copied here once the map exists.
}

int64_t TWorkThread::Tick() {
  const uint32_t now = platform::TickCount();
  if (now - lastSecondTick >= 1000) {
    lastSecondTick = now;
    publishPending = true;
  }
  if (publishPending) {
    publishPending = false;
    Publish(true, false);
    Refresh();
  }
  platform::SleepMs(static_cast<uint32_t>(tickDelayMs > 0 ? tickDelayMs : kDefaultTickDelayMs));
  return WallSeconds();
}

bool TWorkThread::ReadKeyTorrent() {
  const std::string path = taskKey.substr(7);
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) return false;
  ScopedLock lock(&mutex);
  torrent.bytes = std::move(bytes);
  torrent.dirty = true;
  return true;
}

void TWorkThread::WorkLoop() {
  const bool keyed = (isP2SP || isBitTorrent) && !taskKey.empty();
  if (keyed) {
    live.runPhase = TaskStatus::kIdle;
    if (strncasecmp(taskKey.c_str(), "file://", 7) == 0 && !ReadKeyTorrent()) {
      live.stateCode = kStateTorrentUnreadable;
      RequestStop(nullptr);
    }
    live.runPhase = TaskStatus::kRunning;
  }
  const bool httpTask = !isP2SP && !isBitTorrent;
  if (!httpTask && !metadataReady && sources.empty()) return;

  live.runPhase = TaskStatus::kRunning;
  lastSecondTick = platform::TickCount();
  bool timedOut = false;
  while (!CheckStop()) {
    Tick();
    if (CheckStop()) break;
    const uint32_t elapsed = MonotonicSeconds() - StartTime();
    if (!HasPieces() && static_cast<int>(elapsed) > config.metadataTimeout) {
      timedOut = true;
      break;
    }
  }
  EndRun(timedOut, false);
}

void TWorkThread::EndRun(bool timedOut, bool gaveUp) {
  ClearUseMarks();
  Reset(false, false);
  {
    ScopedLock lock(&mutex);
    live.runPhase = TaskStatus::kIdle;
    if (!completed) {
      if (gaveUp)
        live.stateCode = kStateGaveUp;
      else if (timedOut)
        live.stateCode = kStateNoMetadata;
    }
    Publish(true, true);
  }
  Reset(false, false);
}

void TWorkThread::ReleaseEngineLocks() {
  for (QTMutex* lock : {&mutex, &RegistryLock(), &HostListLock(), &StorageLock()})
    while (lock->Unlock()) platform::SleepMs(20);
}

void TWorkThread::Run() {
  try {
    WorkLoop();
  } catch (...) {
    ReleaseEngineLocks();
  }
}

}  // namespace pf
