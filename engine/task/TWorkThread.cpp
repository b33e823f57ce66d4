#include "engine/task/TWorkThread.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>

#include "engine/net/HostResolver.h"
#include "engine/content/TaskStateFile.h"
#include "engine/base/CPelicanfetchLog.h"
#include "engine/task/ProcessIpFilter.h"
#include "engine/task/EngineListener.h"
#include "engine/task/IncomingConnections.h"
#include "engine/task/TorrentMetadata.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineClock.h"
#include "engine/base/ScopedLock.h"
#include "engine/base/EngineSwitches.h"
#include "engine/net/QSocketBuffer.h"
#include "platform/Clock.h"
#include "platform/ThreadIdentity.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

constexpr int64_t kUpkeepSeconds = 5;
constexpr int64_t kFeedSeconds = 15;
constexpr uint32_t kGiveUpSeconds = 15;
constexpr uint32_t kNoProgressSeconds = 900;

}  // namespace

TWorkThread::TWorkThread() { Reset(ResetScope::kRun); }

TWorkThread::~TWorkThread() {
  // The thread must be gone before any layer of the object is torn down.
  Stop();
  Reset(ResetScope::kEverything);
}

int32_t TWorkThread::StopWork() { return Stop() ? kOk : kErrException; }

int32_t TWorkThread::StartDownload() { return Start("StartDownload") ? kOk : kErrException; }

int32_t TWorkThread::ContinueDownload() {
  ReadStateFile();
  return Start("ContinueDownload") ? kOk : kErrException;
}

int32_t TWorkThread::PauseWork() { return SetPaused(true) ? kOk : kErrException; }

int32_t TWorkThread::ResumeWork() { return StartDownload(); }

TaskConfig TWorkThread::Config() {
  ScopedLock lock(&mutex);
  return config;
}

TaskStatus TWorkThread::PublishedStatus() {
  ScopedLock lock(&mutex);
  return published;
}

uint32_t TWorkThread::Elapsed() const { return MonotonicSeconds() - StartTime(); }

int32_t TWorkThread::GetTaskInfo(TaskInfo* info) {
  if (!info) return kErrBadArgument;
  std::memset(info, 0, sizeof(*info));
  ScopedLock lock(&mutex);
  const TaskStatus& s = published;
  std::snprintf(info->name, sizeof(info->name), "%s", s.name.c_str());
  const int64_t progress = s.totalBytes > 0 ? s.doneBytes * kProgressWhole / s.totalBytes : 0;
  info->progress = static_cast<int32_t>(progress);
  info->state = progress >= kProgressWhole ? kStateComplete : s.stateCode;
  info->speed = s.currentSpeed;
  info->remaining = s.remainingSeconds;
  info->totalKB = static_cast<int32_t>(s.totalBytes / 1024);
  info->httpBytes = s.httpBytes;
  info->peerBytes = s.peerBytes;
  info->doneBytes = s.doneBytes;
  info->notices = static_cast<int32_t>(s.notices.size());
  return kOk;
}

int32_t TWorkThread::GetSourceNotice(int32_t index, int32_t* kind, char* text, int32_t size) {
  ScopedLock lock(&mutex);
  if (index < 0 || static_cast<size_t>(index) >= published.notices.size() || !text || size <= 0)
    return kErrBadArgument;
  const SourceNotice& notice = published.notices[static_cast<size_t>(index)];
  if (kind) *kind = notice.kind;
  std::snprintf(text, static_cast<size_t>(size), "%s", notice.text.c_str());
  return kOk;
}

int32_t TWorkThread::IsComplete(int32_t* complete) {
  ScopedLock lock(&mutex);
  const int64_t total = published.totalBytes;
  const bool done = total != 0 && published.doneBytes * kProgressWhole / total >= kProgressWhole;
  if (complete) *complete = done ? 1 : 0;
  return kOk;
}

int32_t TWorkThread::SetRateLimit(int selector, int kilobytesPerSecond) {
  if (selector != 0 && selector != 1) return kErrBadArgument;
  ScopedLock lock(&mutex);
  (selector == 1 ? config.downloadLimitKB : config.uploadLimitKB) = kilobytesPerSecond;
  config.Validate();
  downloadLimitKBNow = config.downloadLimitKB;
  uploadLimitKBNow = config.uploadLimitKB;
  return kOk;
}

void TWorkThread::Reset(ResetScope scope) {
  ScopedLock lock(&mutex);
  segments.Clear();
  ClearBlockScheduling(true);
  ResetPool();
  ResetAccounting();
  if (scope != ResetScope::kRun) {
    metadataReady = 0;
    pieces.reset();
    torrentReader.reset();
    SizeBitmap(0);
  }
  if (scope == ResetScope::kEverything) {
    live.Reset();
    published.Reset();
    completed = 0;
    stateStore.Clear();
    PublishBitmap();
  }
}

void TWorkThread::Publish(PublishOptions options) {
  ScopedLock lock(&mutex, false);
  if (!(options.wait ? lock.Lock() : lock.TryLock())) return;
  if (options.bitmap && (bitmapChanged || options.wait || publishAll_)) {
    PublishBitmap();
    publishAll_ = false;
  }
  published = live;
}

void TWorkThread::CopyMapCounters() {
  if (!pieces) return;
  live.totalBytes = pieces->totalLength;
  live.doneBytes = pieces->doneBytes;
  live.wantedBytes = pieces->wantedBytes;
  live.checkedBytes = pieces->checkedBytes;
  live.pieceCount = static_cast<int>(pieces->pieceCount);
  live.finishedPieces = pieces->finishedPieces;
  live.wantedPieces = static_cast<int>(pieces->wantedPieces);
  live.pieceLength = pieces->pieceLength;
  live.cachedBytes = pieces->cachedBytes;
}

void TWorkThread::Refresh() {
  CopyMapCounters();
  if (pieces && live.checkedBytes != live.totalBytes) Publish({.bitmap = false, .wait = false});
}

void TWorkThread::OnPieceEvent(const PieceEvent& event) {
  if (!pieces) return;
  switch (event.code) {
    case PieceEvent::kPieceHeld: {
      const int64_t index = event.value;
      if (index < 0 || index >= heldBitmap.Size()) return;
      heldBitmap.Set(index, event.on);
      bitmapChanged = true;
      live.finishedPieces = pieces->finishedPieces;
      live.cachedBytes = pieces->cachedBytes;
      OnPieceHeld(static_cast<int>(index), event.on);
      break;
    }
    case PieceEvent::kAllHeld:
      // Spare bits stay clear: peers drop a bitfield that sets them.
      heldBitmap.SetAll(event.on);
      bitmapChanged = true;
      live.finishedPieces = pieces->finishedPieces;
      live.doneBytes = pieces->doneBytes;
      live.checkedBytes = pieces->checkedBytes;
      break;
    case PieceEvent::kPublish:
      Publish({.bitmap = event.on, .wait = true});
      break;
    case PieceEvent::kPiecesBuilt:
      if (event.value > 0) {
        SizeBitmap(static_cast<int>(event.value));
        live.name = pieces->name;
      } else {
        RequestStop(nullptr);
      }
      break;
    case PieceEvent::kFileList:
    case PieceEvent::kResumeRecord: {
      ScopedLock lock(&mutex);
      if (event.code == PieceEvent::kFileList)
        stateStore.SetFileList(std::string(event.bytes));
      else
        stateStore.SetResumeRecord(std::string(event.bytes));
      break;
    }
    case PieceEvent::kDiskWait:
      live.stateCode = kStateDiskFull;
      storageError_ = 1;
      RequestStop(nullptr);
      break;
    case PieceEvent::kDiskRoom:
      storageError_ = 0;
      break;
    case PieceEvent::kBadPiece:
      if (event.badPiece) ReportBadPiece(static_cast<uint32_t>(event.value), *event.badPiece);
      break;
    case PieceEvent::kSizeUnreadable:
      live.stateCode = kStateSizeUnreadable;
      storageError_ = 1;
      RequestStop(nullptr);
      break;
    default:
      break;
  }
}

void TWorkThread::ReportBadPiece(uint32_t piece, const PieceEvent::BadPiece& who) {
  const std::string target(who.targetPath);
  if (who.fromPeer) {
    const std::string peer(who.peerAddress);
    ReportTransfer("11500102", peer.c_str(), "", 0, 0, 0, "", 0, 0, 0, 0, piece, target.c_str(), "", "", 0);
  } else {
    const std::string source(who.sourceAddress);
    ReportTransfer("11500101", "", "", 0, 0, 0, "", 0, 0, 0, 0, piece, "", source.c_str(), "", 0);
  }
}

void TWorkThread::Fail(std::string_view) { RequestStop(nullptr); }

bool TWorkThread::ReadTaskLinkTemplate(std::string_view link) {
  return pieces && torrentReader && pieces->ReadTemplate(std::string(link), *torrentReader);
}

void TWorkThread::ReadStateFile() {
  if (stateFilePath.empty()) return;
  TaskStateStrings saved;
  if (!TaskStateFile::Read(stateFilePath, saved)) return;
  ScopedLock lock(&mutex);
  stateStore.Restore(saved);
}

bool TWorkThread::WriteStateFile() {
  if (stateFilePath.empty()) return false;
  std::optional<TaskStateStore::Snapshot> unsaved;
  {
    ScopedLock lock(&mutex);
    unsaved = stateStore.Unsaved();
  }
  if (!unsaved) return true;
  // Written outside the lock: callers asking for the task's figures do not
  // wait for the disk.
  if (!TaskStateFile::Write(stateFilePath, unsaved->values)) return false;
  ScopedLock lock(&mutex);
  stateStore.MarkSaved(unsaved->version);
  return true;
}

bool TWorkThread::ReadKeyTorrent() {
  std::string content = TorrentMetadata::ReadKeyFile(taskKey);
  if (content.empty()) return false;
  ScopedLock lock(&mutex);
  stateStore.SetTorrent(std::move(content));
  return true;
}

bool TWorkThread::BuildMetadata(TPieces* previous) {
  TorrentMetadata::Inputs inputs;
  {
    ScopedLock lock(&mutex);  // a torrent may arrive from another thread
    inputs.torrentBytes = stateStore.Torrent();
    inputs.fileList = stateStore.FileList();
    inputs.resumeRecord = stateStore.ResumeRecord();
    inputs.memoryLimit = config.PieceCacheUnits();
    inputs.sizesOnlyCheck = config.sizesOnlyCheck != 0;
    reloadMetadata = 0;
  }
  inputs.taskLink = taskKey;
  inputs.saveFolder = saveFolder;
  if (isFullPath) inputs.targetFile = targetFilePath;
  inputs.partialsPath = companionPath;
  live.runPhase = TaskStatus::kPreparing;
  std::unique_ptr<TTorrent> reader = TorrentMetadata::Open(inputs, this);
  if (!reader) return false;

  RefPtr<TPieces> map = TorrentMetadata::LayOut(inputs, *reader, this);
  // The map reports its pieces to this object while it builds; keep the old
  // one until the new one has proved itself.
  RefPtr<TPieces> old = pieces;
  std::unique_ptr<TTorrent> oldReader = std::move(torrentReader);
  pieces = map;
  torrentReader = std::move(reader);
  if (!pieces->BuildPieces(previous) && !pieces->CheckFinished()) {
    pieces = old;
    torrentReader = std::move(oldReader);
    return false;
  }
  // Nothing else makes them; a missing one (deleted since) is made again.
  pieces->CreateEmptyFiles();
  live.torrentName = torrentReader->Name();
  live.comment = torrentReader->Comment();
  ipFilter = CopyProcessIpFilter();
  CopyMapCounters();
  metadataReady = 1;
  publishAll_ = true;
  // Trackers join the sources; the peer pool takes them at its next feed.
  // Other tasks read the list (duplicate checks) under the task lock.
  std::vector<std::string> trackers = TorrentMetadata::NewTrackerSources(*torrentReader, sources);
  if (!trackers.empty()) {
    ScopedLock lock(&mutex);
    sources.insert(sources.end(), std::make_move_iterator(trackers.begin()), std::make_move_iterator(trackers.end()));
  }
  return true;
}

bool TWorkThread::SetUpMetadata() {
  {
    ScopedLock lock(&mutex);
    if (metadataReady || stateStore.Torrent().empty()) return metadataReady != 0;
  }
  Reset(ResetScope::kMetadata);
  config.Validate();
  if (!BuildMetadata(nullptr)) {
    if (!pieces) live.stateCode = kStateTorrentUnreadable;
    RequestStop(nullptr);
    return false;
  }
  ServeInfoHash();
  return true;
}

void TWorkThread::ServeInfoHash() {
  // Incoming BitTorrent connections find the task by its info-hash.
  UnregisterInfoHash();
  if (!torrentReader) return;
  MakeHandshake();
  RegisterInfoHash(torrentReader->GetInfoHash());
}

void TWorkThread::MakeHandshake() {
  const BtHash peerId =
      TorrentMetadata::MakePeerId(*torrentReader, reinterpret_cast<uintptr_t>(this), EngineListener::LocalAddress());
  SetOwnPeerId(peerId);
  handshake_ = BuildBtHandshake(torrentReader->GetInfoHash(), peerId);
  handshakeReady_ = true;
}

AnnounceFigures TWorkThread::TrackerFigures() {
  AnnounceFigures f;
  if (!torrentReader || !handshakeReady_ || !pieces) return f;
  f.hasMetadata = true;
  f.infoHash = torrentReader->GetInfoHash();
  f.peerId = *ownPeerId;
  f.announceUrl = torrentReader->Announce();
  f.taskAddress = reinterpret_cast<uintptr_t>(this);
  const uint32_t bound = Switches().bindAddress;
  f.listenIp = bound != 0 ? bound : EngineListener::LocalAddress();
  f.listenPort = static_cast<uint16_t>(Switches().EffectiveListenPort());
  f.uploaded = secondSent;
  f.downloaded = secondReceived;
  f.left = std::max<int64_t>(pieces->totalLength - pieces->doneBytes, 0);
  return f;
}

bool TWorkThread::AcceptBtPeer(const TPeerObject& self, const BtHash& peerId, uint32_t /*ip*/) {
  if (!Switches().p2pEnabled) return false;
  if (IsOwnPeerId(peerId.data())) return false;
  // One connection per peer: the same peer reached twice (it called us while
  // we called it) keeps the first.
  for (const auto& c : connections) {
    if (c.get() == &self || c->kind != kBtNode || c->linkState != TPeerObject::kReady || !c->peerSource)
      continue;
    if (std::memcmp(c->peerSource->peerId, peerId.data(), peerId.size()) == 0) return false;
  }
  return true;
}

void TWorkThread::SendHaveBatch(const std::string& batch) {
  for (const auto& c : connections)
    if (c->kind == kBtNode) c->SendHaves(batch);
}

void TWorkThread::RebuildMetadata() {
  // A torrent that arrived from the key source replaces the map; held pieces
  // carry over. When the new one fails, the old map and torrent stay.
  RefPtr<TPieces> previous = pieces;
  const int stateCode = live.stateCode;
  if (!BuildMetadata(previous.get())) {
    live.stateCode = stateCode;  // the task goes on with what it had
    live.runPhase = TaskStatus::kRunning;
    return;
  }
  if (previous) previous->CloseFiles(false, false);
  ServeInfoHash();
  // The new map sized and filled the bitmap through its events while it built.
  Publish({.bitmap = true, .wait = true});
}

bool TWorkThread::CompletionRule(int64_t t) {
  if (!pieces) return false;
  bool finished = pieces->pieceCount > 0 && pieces->finishedPieces >= pieces->pieceCount;
  if (finished && live.completeTime == 0) {
    live.completeTime = t != 0 ? t : WallSeconds();
    if (live.runPhase != TaskStatus::kPreparing) {
      pieces->CloseFiles(false, true);
      finished = pieces->pieceCount > 0 && pieces->finishedPieces >= pieces->pieceCount;
      if (finished) {
        completed = 1;
        if (sawIncomplete_) AnnounceCompletion();
        ClearBlockScheduling(false);  // the last pieces stay queued for announcing
        publishPending = true;  // callers learn of it now, not at the next second
      }
    }
  }
  if (!finished) {
    live.completeTime = 0;
    if (live.runPhase == TaskStatus::kRunning) sawIncomplete_ = true;
    return false;
  }
  if (t <= 0) return false;
  const bool keyed = isP2SP || isBitTorrent;
  if (!keyed && !live.seedWindowOpen && live.doneBytes >= live.wantedBytes) return true;
  if (config.seedHours > 0 && (t - live.completeTime) / 3600 >= config.seedHours) {
    live.seedWindowOpen = 0;
    return true;
  }
  return false;
}

bool TWorkThread::GivesUp(uint32_t elapsed) {
  if (live.currentSpeed != 0) return false;
  const bool httpTask = !isP2SP && !isBitTorrent;
  return elapsed > kGiveUpSeconds && CandidateCount() == 0 && (httpTask || !metadataReady);
}

void TWorkThread::PeriodicSave() {
  if (!HasPieces()) return;
  const uint32_t now = MonotonicSeconds();
  if (now - lastSave_ > saveIntervalSeconds) {
    tickDelayMs = tickDelayMs / 2 + 1;
    pieces->WaitForHashes();
    if (!completed) {
      pieces->WriteCompletePieces();
      CompletionRule(0);
    }
    if (completed) {
      pieces->CloseFiles(false, true);
      TaskStateFile::Delete(stateFilePath);
    } else {
      pieces->SaveResume();
      WriteStateFile();
    }
    lastSave_ = now;
  }
  if (WallSeconds() - lastUpkeep_ > kUpkeepSeconds) {
    Upkeep();
    tickDelayMs = tickDelayMs / 2 + 1;
  }
}

void TWorkThread::Upkeep() {
  {
    ScopedLock lock(&mutex);
    pieces->memoryLimit = config.PieceCacheUnits();
    pieces->growWholeFile = 1;
    Publish({.bitmap = true, .wait = true});
    if (!pieces->TaskComplete()) {
      const uint32_t changed = pieces->changeTime != 0 ? static_cast<uint32_t>(pieces->changeTime)
                                                      : MonotonicSeconds();
      if (MonotonicSeconds() - changed >= kNoProgressSeconds) RequestStop(nullptr);
    }
  }
  pieces->CacheMaintenance();
  pieces->LimitOpenFiles();
  lastUpkeep_ = WallSeconds();
}

void TWorkThread::TrimPools(bool ending) {
  // Socket buffers: keep a fifth of what is in use once most of the pool idles.
  BufferPool& sockets = QSocketBuffer::Pool();
  const int64_t used = sockets.InUseBytes() / 1024;
  const int64_t total = sockets.TotalBytes() / 1024;
  if (total - used > 1024 && used * 100 / total < 35) sockets.Trim(used * 1024 / 5);
  if (ending) BufferPool::Data().Trim(2097152);
}

int64_t TWorkThread::Tick() {
  if (pieces) {
    readRequests.Serve(*pieces);
    pieces->EnableBackgroundHashing();
    pieces->CollectHashes();
  }
  DrivePeers();
  if (peersFound && !HostComplete()) ConnectPeers();
  peersFound = false;
  // For a second after a sweep found the listener crowded, it is emptied at
  // every tick: its kernel queue is short, and a full queue turns honest
  // peers away unseen while a flood of connections lasts.
  const bool crowded = lastCrowdedSweep_ != 0 && TickMs() - lastCrowdedSweep_ < 1000;
  // A peer that connects is answered within a tick, not at the next sweep.
  const bool waiting = IncomingConnections::PendingCount() > 0 || EngineListener::HasWaiting();
  if (TickMs() - lastIncomingTick_ >= 400 || crowded || waiting) {
    lastIncomingTick_ = TickMs();
    AcceptIncomingAndKeepListener();
  }
  const uint32_t now = TickMs();
  if (now - lastSecondTick >= 1000) {
    lastSecondTick = now;
    tickInSecond_ = 0;
    PerSecond(pieces && pieces->TaskComplete(), Elapsed());
    // Sources whose names were looked up join the order.
    ResolveCandidates();
    if (!HostComplete()) {
      KeepMirrors();
      LayOutSegments(WallSeconds());
      ConnectServers();
      ConnectPeersAndFallBack();
      WatchSourcesLeft();
    } else {
      // A seeding task still tells its trackers it is there, or nobody
      // would find it.
      ConnectPeers(true);
    }
    // Complete pieces go to disk within a second: held pieces (and so the
    // progress the caller sees and what a restart keeps) follow the transfer
    // instead of waiting for the next save.
    if (pieces && pieces->pendingWriteBytes > 0) pieces->WriteCompletePieces();
    CopyMapCounters();
    publishPending = true;
    PeriodicSave();
    AnnounceHeldPieces(MonotonicSeconds());
  }
  if (WallSeconds() - lastWindow_ >= 3) {
    UpdateSpeeds(static_cast<int>(std::max<int64_t>(WallSeconds() - lastWindow_, 1)));
    lastWindow_ = WallSeconds();
    downloadSpeedSum = SumPeerSpeeds(kAllSourceKinds);
    uploadSpeedSum = 0;
    for (const auto& connection : connections) uploadSpeedSum += connection->tick.sendRate;
  }
  if (publishPending) {
    publishPending = false;
    CopyMapCounters();
    Publish({.bitmap = true, .wait = false});
    Refresh();
  }
  WaitForTraffic(tickDelayMs > 0 ? tickDelayMs : kDefaultTickDelayMs);
  return WallSeconds();
}

void TWorkThread::AcceptIncomingAndKeepListener() {
  listenText = EngineListener::Upkeep(WallSeconds());
  if (EngineListener::AcceptWaiting(TickMs()) >= kCrowdedListenerAccepts) lastCrowdedSweep_ = TickMs() | 1;
  TakeIncomingConnections();
}

void TWorkThread::DrivePeers() {
  DriveConnections(tickInSecond_++, pacing.receiveEvery);
  for (const auto& connection : connections) {
    secondReceived += connection->tick.received;
    secondSent += connection->tick.sent;
  }
}

void TWorkThread::WaitForTraffic(int delayMs) {
  // Data arriving ends the wait, so a fast connection is not held to the
  // tick rate. With the second's budget spent there is nothing to wake for,
  // and a wake-up that found nothing to read means a socket stays ready
  // without being read: then the tick sleeps its full delay.
  // Connections with output queued also wake it when the socket takes more,
  // so that serving a peer is not held to the tick rate either.
  int64_t moved = 0;
  waitSockets_.clear();
  waitWritable_.clear();
  const bool mayWrite = SendAllowance() > 0;
  for (const auto& connection : connections) {
    moved += connection->tick.received + connection->tick.sent;
    if (!connection->IsConnected() || !connection->connection) continue;
    waitSockets_.push_back(connection->connection->handle);
    waitWritable_.push_back(mayWrite && connection->connection->QueuedCount() > 0 ? 1 : 0);
    if (const QTcpSocket* data = connection->DataSocket(); data && data->IsOpen()) {
      waitSockets_.push_back(data->handle);
      waitWritable_.push_back(0);
    }
  }
  if (moved > 0) wokeForNothing_ = false;
  if (waitSockets_.empty() || wokeForNothing_ || ReceiveAllowance() <= 0) {
    platform::SleepMs(static_cast<uint32_t>(delayMs));
    wokeForNothing_ = false;
    return;
  }
  wokeForNothing_ = platform::WaitAnySocketReadable(waitSockets_.data(), static_cast<int>(waitSockets_.size()),
                                                    delayMs, waitWritable_.data()) > 0;
}

void TWorkThread::WorkLoop() {
  ReadStateFile();
  const bool keyed = (isP2SP || isBitTorrent) && !taskKey.empty();
  if (keyed) {
    live.runPhase = TaskStatus::kIdle;
    if (TorrentMetadata::IsFileKey(taskKey) && !ReadKeyTorrent()) {
      live.stateCode = kStateTorrentUnreadable;
      RequestStop(nullptr);
    }
    if (!StopRequested()) SetUpMetadata();
    live.runPhase = TaskStatus::kRunning;
  }
  const bool httpTask = !isP2SP && !isBitTorrent;
  if (!httpTask && !metadataReady && sources.empty()) {
    // Nothing to fetch from: the run ends before it starts.
    live.runPhase = TaskStatus::kIdle;
    Publish({.bitmap = true, .wait = true});
    return;
  }

  live.runPhase = TaskStatus::kRunning;
  sawIncomplete_ = false;
  lastSecondTick = TickMs();
  lastSave_ = MonotonicSeconds();
  lastUpkeep_ = lastFeed_ = lastWindow_ = lastTrim_ = lastLan_ = WallSeconds();
  windowStart = lastWindow_;
  // The first second has its budgets before the first accounting pass.
  downloadLimit = BudgetFromKB(downloadLimitKBNow);
  uploadLimit = BudgetFromKB(uploadLimitKBNow);
  FeedSources();
  LayOutSegments(WallSeconds());
  // No need to wait a second for the first connections: the trackers are
  // asked at once too.
  ConnectServers();
  ConnectPeers(HostComplete());
  // Callers see the task's size and held bytes from the start.
  CopyMapCounters();
  Publish({.bitmap = true, .wait = true});
  bool timedOut = false, gaveUp = false;
  int64_t t = 0;
  while (!CheckStop()) {
    if (CompletionRule(t)) break;
    t = Tick();
    if (CheckStop()) break;
    if (t - lastFeed_ >= kFeedSeconds) {
      FeedSources();
      lastFeed_ = t;
    }
    if (t - lastTrim_ >= 8) {
      TrimPools(false);
      if (++trimRounds_ % 4 == 0) {
        publishAll_ = true;
        PruneRequestPool();
      }
      lastTrim_ = t;
    }
    if (t - lastLan_ >= 10) {
      ExchangeLanAnnouncements();
      lastLan_ = t;
    }
    if (!HasPieces() && static_cast<int>(Elapsed()) > config.metadataTimeout) {
      timedOut = true;
      break;
    }
    if (CompletionRule(t)) break;
    if (GivesUp(Elapsed())) {
      gaveUp = true;
      ClearUseMarks();
      break;
    }
    bool reload;
    {
      ScopedLock lock(&mutex);
      reload = reloadMetadata != 0;
    }
    if (reload) RebuildMetadata();
  }
  if (completed)
    LogLine(kLogTaskLife, "TID : %5lu] [%s is Download Complete", static_cast<unsigned long>(platform::CurrentThreadId()),
            targetFilePath.c_str());
  EndRun(timedOut, gaveUp);
}

void TWorkThread::EndRun(bool timedOut, bool gaveUp) {
  if (!completed) CompletionRule(WallSeconds());
  ClearUseMarks();
  if (pieces) pieces->WaitForHashes();
  if (pieces && !completed) {
    pieces->WriteCompletePieces();
    pieces->CloseFiles(false, true);
    pieces->SaveResume();
    pieces->SavePartials();
  }
  // Once what the run holds is saved: the trackers forget our address.
  AnnounceStop();
  Reset(ResetScope::kRun);
  if (completed)
    TaskStateFile::Delete(stateFilePath);
  else
    WriteStateFile();
  {
    ScopedLock lock(&mutex);
    CopyMapCounters();
    live.runPhase = TaskStatus::kIdle;
    if (!completed) {
      if (gaveUp)
        live.stateCode = kStateGaveUp;
      else if (timedOut)
        live.stateCode = kStateNoMetadata;
    }
    Publish({.bitmap = true, .wait = true});
  }
  Reset(ResetScope::kRun);
  TrimPools(true);
  // Names that did not resolve are looked up again by the next run.
  ClearNonexistentHosts();
}

void TWorkThread::ReleaseEngineLocks() {
  // Scoped locks are released as the exception unwinds; a lock still held
  // here was taken by hand and would stop every other task.
  const std::pair<QTMutex*, const char*> locks[] = {
      {&mutex, "task"},          {&ListenerLock(), "listener"}, {&IncomingLock(), "incoming"},
      {&ServedHashLock(), "served hashes"}, {&HostListLock(), "host list"}, {&StorageLock(), "storage"}};
  for (const auto& [lock, name] : locks) {
    int levels = 0;
    while (lock->Unlock()) ++levels;
    if (levels > 0)
      LogLine(kLogEngine, "TID : %5lu] [%s lock forced open at the thread's end (%d levels)",
              static_cast<unsigned long>(platform::CurrentThreadId()), name, levels);
  }
}

void TWorkThread::Run() {
  try {
    WorkLoop();
  } catch (const std::exception& error) {
    LogLine(kLogEngine, "TID : %5lu] [work loop of %s ended by an exception: %s",
            static_cast<unsigned long>(platform::CurrentThreadId()), targetFilePath.c_str(), error.what());
    ReleaseEngineLocks();
  } catch (...) {
    LogLine(kLogEngine, "TID : %5lu] [work loop of %s ended by an unknown exception",
            static_cast<unsigned long>(platform::CurrentThreadId()), targetFilePath.c_str());
    ReleaseEngineLocks();
  }
}

}  // namespace pf
