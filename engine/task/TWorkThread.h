#pragma once
#include <cstdint>
#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/content/PieceEvent.h"
#include "engine/content/TTorrentOwner.h"
#include "engine/base/EngineTypes.h"
#include "engine/schedule/ReadRequests.h"
#include "engine/task/TWorkWithTransStatis.h"
#include "platform/Socket.h"

namespace pf {

// A task's work object: its thread runs the work loop, which prepares the
// task, then ticks (driving peers, accounting, publishing) until the task
// completes, fails or is told to stop, and finally saves or removes the task
// state file.
class TWorkThread : public TWorkWithTransStatis,
                    public PieceEventSink,
                    public TTorrentOwner,
                    public PeerHost {
 public:
  TWorkThread();
  ~TWorkThread() override;

  void Run() override;
  void Refresh() override;

  // Interface operations; 0 or -107.
  virtual int32_t StopWork();
  virtual int32_t StartDownload();
  // Reads the task state file, then starts the thread.
  virtual int32_t ContinueDownload();
  virtual int32_t PauseWork();
  virtual int32_t ResumeWork();
  virtual int32_t GetTaskInfo(TaskInfo* info);
  int32_t GetSourceNotice(int32_t index, int32_t* kind, char* text, int32_t size);
  // *complete = 1 when the published total is non-zero and all bytes are held.
  virtual int32_t IsComplete(int32_t* complete);
  // selector 1: download, 0: upload; -101 for any other selector.
  virtual int32_t SetRateLimit(int selector, int kilobytesPerSecond);

  // One pass of the loop; answers the wall time.
  virtual int64_t Tick();

  struct PublishOptions {
    // Also publish the held-pieces bitmap (when it changed, or always when
    // waiting).
    bool bitmap = true;
    // Wait for the task lock; otherwise give up when it is busy, so that the
    // loop never waits for a caller.
    bool wait = false;
  };
  // Copies the live status to the published one.
  virtual void Publish(PublishOptions options);

  enum class ResetScope {
    kRun,        // the run's connections, scheduling and counters
    kMetadata,   // and the piece map and torrent
    kEverything  // and the status records and the task state
  };
  virtual void Reset(ResetScope scope);
  bool IsMetadataReady() const { return metadataReady != 0; }

  // Notifications of the piece map and storage.
  void OnPieceEvent(const PieceEvent& event) override;
  bool IsStopping() override { return StopRequested(); }
  // What the torrent reader reports.
  void SetRunPhase(int phase) override { live.runPhase = phase; }
  void SetErrorCode(int code) override { live.stateCode = code; }
  void Fail(std::string_view text) override;
  bool ReadTaskLinkTemplate(std::string_view link) override;

  // What the peers ask of the task.
  TPieces* HostPieces() override { return pieces.get(); }
  SegmentList& HostSegments() override { return segments; }
  std::deque<BlockRequest>& SharedRequests() override { return sharedRequests; }
  bool InEndPhase() override { return EndGame(); }
  bool HostComplete() override { return pieces && pieces->TaskComplete(); }
  void OnPayload(int kind, int64_t bytes) override { CountPayload(kind, bytes); }
  void OnWasted(int64_t bytes) override { wastedBytes += bytes; }
  void Retry(TPeerId& source, SourceRetry retry, int seconds) override { RetrySource(source, retry, seconds); }
  void AddFoundSource(RefPtr<TPeerId> source) override { AddCandidate(std::move(source)); }
  void ReportSource(const TPeerId& source, SourceProblem problem, const std::string& detail) override {
    NoteSource(source, problem, detail);
  }
  void SetStateCode(int code) override { live.stateCode = code; }
  void SetHttpStarted() override { live.runPhase = TaskStatus::kHttpStarted; }
  int64_t ReceiveAllowance() override {
    // A lower limit set during the second applies at once, a higher one
    // from the next second.
    const int64_t limit = std::min(downloadLimit, BudgetFromKB(downloadLimitKBNow));
    return limit - std::max(secondPayload, secondReceived);
  }
  AnnounceFigures TrackerFigures() override;
  int32_t TrackerEvent(const TPeerId& tracker) override { return trackerEvents.Next(tracker); }
  void TrackerAnswered(TPeerId& tracker, int32_t event) override { trackerEvents.Answered(tracker, event); }
  const BtHandshakeBytes* OwnHandshake() override { return handshakeReady_ ? &handshake_ : nullptr; }
  bool AcceptBtPeer(const TPeerObject& self, const BtHash& peerId, uint32_t ip) override;
  void NoteHandshake(uint32_t ip) override { candidates.NoteHandshake(ip); }
  BitfieldView HeldBits() override { return heldBitmap; }
  bool TakePooled(std::deque<BlockRequest>& queue, BitfieldView peerHas, int count,
                  BitfieldView peerLacks) override {
    return TakePooledRequests(queue, peerHas, count, peerLacks);
  }
  bool Engage(int piece, bool add, bool all) override { return EngagePiece(piece, add, all); }
  bool RefreshEndGame() override { return UpdateEndGame(); }
  int PieceHint() override { return StartPieceHint(); }
  int64_t SendAllowance() override {
    const int64_t limit = std::min(uploadLimit, BudgetFromKB(uploadLimitKBNow));
    return limit - secondSent;
  }

  TaskConfig Config();
  TaskStatus PublishedStatus();

  // What the task shows for the listener: "address : port", or why not.
  // Work thread alone.
  std::string listenText;
  // Reads of the content that other threads ask for; served by the tick.
  // Its own lock.
  ReadRequests readRequests;

  // Set before the thread starts. Seconds between saves of the task state
  // (tests shorten it).
  uint32_t saveIntervalSeconds = 20;

 protected:
  // Drives every connection one step.
  virtual void DrivePeers();
  // Keeps the process-wide listener open, accepts what waits on it and
  // takes this task's incoming connections (every 400 ms, every tick while
  // connections pour in); exchanges LAN
  // announcements (every 10 s; the LAN socket comes with the UDP part).
  virtual void AcceptIncomingAndKeepListener();
  virtual void ExchangeLanAnnouncements() {}
  PeerHost* Host() override { return this; }
  // Reads the task state file into the four state strings.
  void ReadStateFile();
  // Writes the state strings when one changed; true when the file is current.
  bool WriteStateFile();

 private:
  void WorkLoop();
  bool ReadKeyTorrent();
  bool SetUpMetadata();
  // Reads the torrent bytes and builds a piece map over them; `previous`
  // hands over the files and held pieces of an earlier map.
  bool BuildMetadata(TPieces* previous);
  void RebuildMetadata();
  // The completion rule at time t (0 = now); true when the run is complete.
  bool CompletionRule(int64_t t);
  bool GivesUp(uint32_t elapsed);
  void PeriodicSave();
  void Upkeep();
  // Offers the task's info-hash to incoming connections.
  void ServeInfoHash();
  // Makes our peer id and handshake for the torrent.
  void MakeHandshake();
  void SendHaveBatch(const std::string& batch) override;
  // Tells telemetry of a piece that failed its check.
  void ReportBadPiece(uint32_t piece, const PieceEvent::BadPiece& who);
  // Sleeps up to `delayMs`, waking early when a connection has data.
  void WaitForTraffic(int delayMs);
  void EndRun(bool timedOut, bool gaveUp);
  void ReleaseEngineLocks();
  // Gives unused pooled buffers back; `ending` trims harder.
  void TrimPools(bool ending);
  void CopyMapCounters();
  uint32_t Elapsed() const;

  // The loop's own timers and state: work thread alone.
  uint32_t lastSave_ = 0;
  int64_t lastUpkeep_ = 0;
  int64_t lastFeed_ = 0;
  uint8_t storageError_ = 0;
  bool publishAll_ = false;
  int64_t lastWindow_ = 0;
  int64_t lastTrim_ = 0;
  int64_t lastLan_ = 0;
  uint32_t lastIncomingTick_ = 0;
  // The run has seen the task incomplete: its completion is a download's,
  // which the trackers are told of (a task that starts complete is not).
  bool sawIncomplete_ = false;
  // When a sweep last took kCrowdedListenerAccepts connections or more
  // (0: never).
  static constexpr int kCrowdedListenerAccepts = 8;
  uint32_t lastCrowdedSweep_ = 0;
  int tickInSecond_ = 0;  // ticks since the last per-second pass
  // Sockets the tick waits on, and whether the last wake-up found nothing.
  std::vector<platform::SocketHandle> waitSockets_;
  std::vector<uint8_t> waitWritable_;
  bool wokeForNothing_ = false;
  int trimRounds_ = 0;
  int64_t wastedBytes = 0;
  BtHandshakeBytes handshake_{};
  bool handshakeReady_ = false;
};

}  // namespace pf
