#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/EngineTypes.h"
#include "engine/base/QThread.h"
#include "engine/task/TaskConfig.h"
#include "engine/task/TaskStatus.h"

namespace pf {

// First layer of a task's work object: configuration, paths, kind, task key,
// source lists, status records and the strings kept in the task state file.
// Construction registers the object; the first object of the process starts
// the engine's shared services.
class TBaseWork : public QThread {
 public:
  TBaseWork();
  ~TBaseWork() override;

  TaskHandle Handle() const { return handle_; }
  const char* Label() const;

  // Takes over a task description (sources, paths, kind, key). recordFlag
  // notes the bookkeeping bit, which only CreateTask records.
  void ApplyParams(const TaskParams& params, bool recordFlag);
  // Whether this task and `other` would download the same thing. Takes the
  // other task's lock.
  bool IsDuplicateOf(TBaseWork& other);

  void ClearMirrors();
  void AddMirrors(const char* addresses, const char* hostNames);

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
  struct StateString {
    std::string bytes;
    bool dirty = false;
  };

  TaskConfig config;
  std::string stateFilePath;
  std::string companionPath;   // partial-pieces file beside the task state file
  std::string saveFolder;
  std::string targetFilePath;
  std::string taskKey;
  std::vector<std::string> sources;
  bool keyIsFirstSource = false;  // a BitTorrent task fetches its torrent from it
  std::vector<std::string> mirrorAddresses;
  std::vector<std::string> mirrorHosts;
  uint8_t mirrorsPresent = 0;

  TaskStatus live;
  TaskStatus published;

  StateString torrent, part, bits, seeds;

  uint8_t isP2SP = 0;
  uint8_t isBitTorrent = 0;
  uint8_t isFullPath = 0;
  uint8_t isRecorded = 0;
  uint8_t metadataReady = 0;
  uint8_t completed = 0;
  uint8_t reloadMetadata = 0;

 private:
  static void StartSharedServices();
  static void StopSharedServices();

  TaskHandle handle_ = 0;
};

}  // namespace pf
