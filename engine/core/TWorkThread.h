#pragma once
#include <cstdint>

#include "engine/core/EngineApi.h"
#include "engine/core/TWorkWithTransStatis.h"

namespace pf {

// A task's work object: its thread runs the work loop, which prepares the
// task, then ticks (driving peers, accounting, publishing) until the task
// completes, fails or is told to stop.
class TWorkThread : public TWorkWithTransStatis {
 public:
  TWorkThread();
  ~TWorkThread() override;

  void Run() override;
  void Refresh() override;

  // Interface operations; 0 or -107.
  virtual int32_t StopWork();
  virtual int32_t StartDownload();
  virtual int32_t ContinueDownload();
  virtual int32_t PauseWork();
  virtual int32_t ResumeWork();
  virtual int32_t GetTaskInfo(TaskInfo* info);
  // *complete = 1 when the published total is non-zero and all bytes are held.
  virtual int32_t IsComplete(int32_t* complete);
  // selector 1: download, 0: upload; -101 for any other selector.
  virtual int32_t SetRateLimit(int selector, int kilobytesPerSecond);

  // One pass of the loop; answers the wall time.
  virtual int64_t Tick();
  // Copies the live status to the published one. Without `force` it gives up
  // when the task lock is busy, so the loop never waits for a caller.
  virtual void Publish(bool applyChanges, bool force);
  // Drops the run's connections and counters; `dropMetadata` also releases
  // the piece map and torrent, `clearRunState` the status records and the
  // task state strings.
  virtual void Reset(bool dropMetadata, bool clearRunState);

  TaskConfig Config();

 private:
  void WorkLoop();
  // Reads a file:// task key into the torrent string; false on failure.
  bool ReadKeyTorrent();
  void EndRun(bool timedOut, bool gaveUp);
  void ReleaseEngineLocks();
};

}  // namespace pf
