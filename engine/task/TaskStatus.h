#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/peers/SourceProblem.h"

namespace pf {

// A task's observable state. The work thread writes a live copy; the call
// interface reads only the published copy taken under the task lock.
struct TaskStatus {
  enum RunPhase { kIdle = 1, kHttpStarted = 2, kPreparing = 3, kRunning = 4 };

  int runPhase = kIdle;
  int stateCode = 0;
  std::string name;
  int64_t totalBytes = 0;
  int64_t doneBytes = 0;
  int64_t wantedBytes = 0;
  int64_t checkedBytes = 0;
  int pieceCount = 0;
  int finishedPieces = 0;
  int wantedPieces = 0;
  int pieceLength = 0;
  int64_t cachedBytes = 0;
  std::string torrentName;
  std::string comment;
  std::string creator;
  int64_t uploadedTotal = 0;
  int64_t downloadedTotal = 0;
  int averageUpload = 0;
  int averageDownload = 0;
  int currentSpeed = 0;
  int remainingSeconds = 0;
  int64_t httpBytes = 0;
  int64_t peerBytes = 0;
  int64_t completeTime = 0;
  uint8_t seedWindowOpen = 1;
  // What the task told about its sources, oldest first.
  std::vector<SourceNotice> notices;

  void Reset() { *this = TaskStatus(); }
};

}  // namespace pf
