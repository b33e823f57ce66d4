#include "engine/task/TBaseWork.h"

#include <algorithm>
#include <cstring>

#include "engine/base/EngineLocks.h"
#include "engine/base/NodeIdentity.h"
#include "engine/base/QTimeThread.h"
#include "engine/net/HalfOpenProbe.h"
#include "engine/base/ScopedLock.h"
#include "engine/task/EngineListener.h"
#include "engine/task/SourceListText.h"
#include "engine/task/TaskRegistry.h"

namespace pf {
namespace {

// Copies a fixed-size text field that a caller may have left unterminated.
std::string BoundedText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size - 1));  // cut at size - 1 like any text field
}

}  // namespace

TBaseWork::TBaseWork() {
  live.Reset();
  published.Reset();
  ScopedLock lock(&RegistryLock());
  const bool first = TaskRegistry::Empty();
  handle_ = TaskRegistry::Add(this);
  if (first) StartSharedServices();
}

TBaseWork::~TBaseWork() {
  Stop();
  if (TaskRegistry::Remove(this)) StopSharedServices();
}

void TBaseWork::StartSharedServices() {
  TimeEnsure();
  EnsureNodeIdentity();
  EngineListener::RefreshLocalAddressInBackground();
  ProbeHalfOpenLimit();
  // The UDP connection layer and the listener flags join here as those parts
  // of the engine arrive.
}

void TBaseWork::StopSharedServices() {
  // The listener, the UDP-side listener and the LAN group are closed here as
  // those parts of the engine arrive.
}

const char* TBaseWork::Label() const {
  if (isP2SP) return "P2SP Task";
  if (isBitTorrent) return "BT Task";
  return "HTTP Task";
}

void TBaseWork::ApplyParams(const TaskParams& params, bool recordFlag) {
  sources = ParseSourceLines(params.sourceList);
  stateFilePath = BoundedText(params.resumePath, sizeof(params.resumePath));
  companionPath = stateFilePath + "df";
  saveFolder = BoundedText(params.target, sizeof(params.target));

  isP2SP = (params.flags & kTaskP2SP) != 0;
  isBitTorrent = (params.flags & kTaskBitTorrent) != 0;
  isFullPath = (params.flags & kTaskTargetIsFile) != 0;
  config.sizesOnlyCheck = (params.flags & kTaskSizesOnlyCheck) != 0;
  if (recordFlag) isRecorded = (params.flags & kTaskRecorded) != 0;

  keyIsFirstSource = false;
  if (isP2SP) {
    taskKey = BoundedText(params.key, sizeof(params.key));
  } else if (isBitTorrent) {
    taskKey = sources.empty() ? std::string() : sources.front();
    keyIsFirstSource = !sources.empty();
  } else {
    taskKey.clear();
  }

  targetFilePath.clear();
  if (isFullPath) {
    targetFilePath = saveFolder;
    // The folder keeps its trailing separator; both separators are accepted.
    const size_t cut = saveFolder.find_last_of("/\\");
    if (cut != std::string::npos) saveFolder.resize(cut + 1);
  }
}

bool TBaseWork::IsDuplicateOf(TBaseWork& other) {
  ScopedLock lock(&other.mutex);
  if (isFullPath && other.isFullPath) return targetFilePath == other.targetFilePath;
  const bool mineKeyed = isP2SP || isBitTorrent;
  const bool otherKeyed = other.isP2SP || other.isBitTorrent;
  if (mineKeyed && otherKeyed) return taskKey == other.taskKey;

  // Blank entries name no source and never count as shared.
  size_t shared = 0;
  for (const auto& source : sources) {
    if (source.empty()) continue;
    if (std::find(other.sources.begin(), other.sources.end(), source) != other.sources.end())
      ++shared;
  }
  return shared > 0 && sources.size() / shared <= 2;
}

}  // namespace pf
