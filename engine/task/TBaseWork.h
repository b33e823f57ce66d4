#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/EngineTypes.h"
#include "engine/base/QThread.h"
#include "engine/task/MirrorList.h"
#include "engine/task/TaskConfig.h"
#include "engine/task/TaskStateStore.h"
#include "engine/task/TaskStatus.h"

namespace pf {

// First layer of a task's work object: configuration, paths, kind, task key,
// source lists, status records and the task state store. Construction
// registers the object; the first object of the process starts the engine's
// shared services.
//
// Locking: `mutex` (QThread's) is the task's lock. Each field group below
// says what guards it. "Fixed while running" fields are set by ApplyParams
// before the thread starts and only read afterwards.
class TBaseWork : public QThread {
 public:
  TBaseWork();
  ~TBaseWork() override;

  TaskHandle Handle() const { return handle_; }
  const char* Label() const;

  // Takes over a task description (sources, paths, kind, key). recordFlag
  // notes the bookkeeping bit, which only CreateTask records. Before the
  // thread starts.
  void ApplyParams(const TaskParams& params, bool recordFlag);
  // Whether this task and `other` would download the same thing. Takes the
  // other task's lock.
  bool IsDuplicateOf(TBaseWork& other);

  void ClearMirrors() { mirrors.Clear(); }
  void AddMirrors(const char* addresses, const char* hostNames) { mirrors.Add(addresses, hostNames); }

  // Read by the work thread, or by others under the task lock.
  const std::vector<std::string>& Sources() const { return sources; }
  const std::string& TargetFilePath() const { return targetFilePath; }
  const std::string& SaveFolder() const { return saveFolder; }
  const std::string& StateFilePath() const { return stateFilePath; }
  const std::string& CompanionPath() const { return companionPath; }
  const std::string& TaskKey() const { return taskKey; }
  bool IsP2SP() const { return isP2SP; }
  bool IsBitTorrent() const { return isBitTorrent; }
  bool HasFullPath() const { return isFullPath; }

 protected:
  // Task lock: callers change the limits; the work thread reads the atomics
  // its accounting keeps instead (TWorkWithTransStatis).
  TaskConfig config;

  // Fixed while running.
  std::string stateFilePath;
  std::string companionPath;   // partial-pieces file beside the task state file
  std::string saveFolder;
  std::string targetFilePath;
  std::string taskKey;
  bool keyIsFirstSource = false;  // a BitTorrent task fetches its torrent from it
  uint8_t isP2SP = 0;
  uint8_t isBitTorrent = 0;
  uint8_t isFullPath = 0;
  uint8_t isRecorded = 0;

  // Written by the work thread under the task lock (it appends the torrent's
  // trackers); read by the work thread freely and by others under the lock.
  std::vector<std::string> sources;

  // Its own lock (callers add mirrors while the work thread draws from them).
  MirrorList mirrors;

  // Work thread alone: `live`. Task lock: `published`, which the work
  // thread copies from `live` and callers read.
  TaskStatus live;
  TaskStatus published;

  // Task lock: a torrent may arrive from the key source's connection or a
  // caller while the work thread saves.
  TaskStateStore stateStore;
  uint8_t reloadMetadata = 0;

  // Work thread alone.
  uint8_t metadataReady = 0;
  uint8_t completed = 0;

 private:
  static void StartSharedServices();
  static void StopSharedServices();

  TaskHandle handle_ = 0;  // fixed from construction
};

}  // namespace pf
