#include "engine/task/TWorkWithPeers.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <random>

#include "engine/content/Bencode.h"
#include "engine/content/TPieces.h"
#include "engine/task/EngineListener.h"
#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineSwitches.h"
#include "engine/net/HalfOpenProbe.h"
#include "engine/task/IncomingConnections.h"
#include "engine/base/ScopedLock.h"
#include "engine/base/EngineClock.h"
#include "engine/content/BlockSize.h"
#include "platform/Clock.h"

namespace pf {
namespace {

// The end of the engine's exit window for "stopped" announces (TickMs), 0
// when none is open; set by the thread that stops the engine.
std::atomic<uint32_t> stopAnnounceDeadline{0};

int KindSlot(int kind) {
  switch (kind) {
    case kBtNode: return 0;
    case kHttp: return 1;
    case kFtp: return 2;
    case kTracker: return 3;
    default: return -1;
  }
}

// The classes the layer above registers; none until it does.
struct PeerFactories {
  std::atomic<TWorkWithPeers::PeerFactory> slot[4] = {};
};

PeerFactories& Factories() {
  static PeerFactories factories;
  return factories;
}

// A peer on this machine's loopback would be ourselves.
constexpr uint32_t kLoopback = 0x7F000001;

}  // namespace

TWorkWithPeers::~TWorkWithPeers() { UnregisterInfoHash(); }

void TWorkWithPeers::RegisterPeerClass(int kind, PeerFactory make) {
  const int slot = KindSlot(kind);
  if (slot >= 0) Factories().slot[slot] = make;
}

TWorkWithPeers::PeerFactory TWorkWithPeers::PeerClass(int kind) {
  const int slot = KindSlot(kind);
  return slot < 0 ? nullptr : Factories().slot[slot].load();
}

RefPtr<TPeerObject> TWorkWithPeers::GetPeerObject(int kind) {
  if (KindSlot(kind) < 0) return {};
  for (auto it = idlePeers.begin(); it != idlePeers.end(); ++it) {
    if ((*it)->kind != kind) continue;
    RefPtr<TPeerObject> peer = std::move(*it);
    idlePeers.erase(it);
    return peer;
  }
  const PeerFactory make = PeerClass(kind);
  return make ? RefPtr<TPeerObject>::Adopt(make(Host())) : RefPtr<TPeerObject>();
}

void TWorkWithPeers::ParkIdle(TPeerObject& peer) {
  if (idlePeers.size() > static_cast<size_t>(std::max(connectionBudget, 0)) + 12) idlePeers.clear();
  for (const auto& idle : idlePeers)
    if (idle.get() == &peer) return;
  peer.Reset();
  idlePeers.push_back(RefPtr<TPeerObject>::Share(&peer));
}

void TWorkWithPeers::SetConnectionLimits(int serverConnections, int peerConnections) {
  ScopedLock lock(&mutex);
  serverConnectionLimit = serverConnections;
  peerConnectionLimit = peerConnections;
  connectionLimitReached = 0;
}

void TWorkWithPeers::ClearUseMarks() {
  bool haveTorrent;
  {
    ScopedLock lock(&mutex);
    haveTorrent = !stateStore.Torrent().empty();
  }
  useMarks.resize(sources.size(), kNew);
  for (uint8_t& mark : useMarks) {
    if (mark == kOwnTaken && haveTorrent) mark = kOwn;
    if (mark == kTaken) mark = kNew;
  }
}

bool TWorkWithPeers::IsOwnPeerId(const uint8_t* id) const {
  return ownPeerId && std::memcmp(id, ownPeerId->data(), ownPeerId->size()) == 0;
}

bool TWorkWithPeers::AddCandidate(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId) {
  if (!source) return false;
  if (!source->parsed && source->resolution) {
    // Its host is still being looked up: it joins the order once resolved.
    candidates.AddResolving(std::move(source), trustPeerId, keepPeerId);
    return true;
  }
  const bool peer = source->kind == kBtNode;
  // Never ourselves: a peer on this machine's loopback, with our peer id, or
  // at our own listening address.
  if (peer && source->ip == htonl(kLoopback)) return false;
  if (peer && IsOwnPeerId(source->peerId)) return false;
  if (EngineListener::Port() != 0 && source->port == EngineListener::Port() &&
      (source->ip == EngineListener::LocalAddress() || source->ip == Switches().bindAddress))
    return false;
  if (!candidates.Add(std::move(source), trustPeerId, keepPeerId)) return false;
  // A peer a tracker just named is called at the next tick, not a second on.
  if (peer) peersFound = true;
  return true;
}

int TWorkWithPeers::AttemptsAllowed() const {
  const int budget = connectionBudget;
  const int limit = std::min(2 * std::min(ConnectAttemptLimit(), budget), budget);
  const int chunk = !IncomingConnections::Reachable() && budget >= 100 ? 32 : 16;
  int connecting = 0;
  for (const auto& c : connections)
    if (c->connection && c->connection->IsOpen() && !c->connection->connected) ++connecting;
  int answer = std::min(budget - static_cast<int>(connections.size()), chunk);
  answer = std::min(answer, limit - 1 - connecting);
  return std::max(answer, 0);
}

void TWorkWithPeers::FeedSources() {
  if (sources.empty()) return;
  useMarks.resize(sources.size(), kNew);
  if (keyIsFirstSource && useMarks[0] == kNew) useMarks[0] = kOwn;
  const bool fillBackup = !mirrorPolicy.RemembersOwnSources();
  for (size_t i = sources.size(); i-- > 0;) {
    uint8_t& mark = useMarks[i];
    if (mark == kTaken || mark == kOwnTaken || sources[i].empty()) continue;
    RefPtr<TPeerId> candidate = MakeSource(sources[i], std::string());
    if (!candidate) continue;
    if (mark == kOwn) {
      // The task's own source delivers its torrent file, whole.
      candidate->wholeContent = 1;
      candidate->useMarker = 1;
      candidate->allowance = 1;
    }
    // The task's own key source fetches the torrent once; it is no mirror to
    // fall back on.
    if (fillBackup && mark == kNew) mirrorPolicy.RememberOwnSource(sources[i]);
    mark = mark == kOwn ? kOwnTaken : kTaken;
    candidate->sourceEntry = static_cast<int32_t>(i);
    AddCandidate(std::move(candidate));
  }
  ResolveCandidates();
}

void TWorkWithPeers::ResolveCandidates() {
  std::vector<RefPtr<TPeerId>> failed;
  for (CandidateList::Resolved& r : candidates.Resolve(&failed))
    AddCandidate(std::move(r.source), r.trustPeerId, r.keepPeerId);
  bool unresolved = false;
  for (const RefPtr<TPeerId>& source : failed) {
    unresolved |= source->unresolvable != 0;
    NoteSource(*source, source->unresolvable ? SourceProblem::kHostUnresolved : SourceProblem::kUnusableAddress, "");
    // A line of the source list whose name did not resolve is fed again at
    // the next feed, as it would be had its lookup waited.
    const int32_t entry = source->sourceEntry;
    if (entry < 0 || static_cast<size_t>(entry) >= useMarks.size()) continue;
    uint8_t& mark = useMarks[static_cast<size_t>(entry)];
    if (mark == kTaken) mark = kNew;
    if (mark == kOwnTaken) mark = kOwn;
  }
  if (unresolved) Host()->SetStateCode(kStateHostUnresolved);
}

RefPtr<TPeerId> TWorkWithPeers::MakeSource(const std::string& address, const std::string& hostName) {
  auto candidate = RefPtr<TPeerId>::Make(address);
  if (candidate->BeginParse() == TPeerId::ParseState::kFailed) {
    // A host name that did not resolve is reported; the task goes on.
    if (candidate->unresolvable) Host()->SetStateCode(kStateHostUnresolved);
    NoteSource(*candidate, candidate->unresolvable ? SourceProblem::kHostUnresolved : SourceProblem::kUnusableAddress,
               "");
    return {};
  }
  if (!hostName.empty() && hostName != "null") candidate->Details().hostName = hostName;
  candidate->group = kOwnSourceGroup;
  return candidate;
}

TPeerId* TWorkWithPeers::TakeSourceText(const std::string& address, const std::string& hostName) {
  if (TPeerId* known = candidates.Find(address)) return known;
  RefPtr<TPeerId> candidate = MakeSource(address, hostName);
  if (!candidate) return nullptr;
  if (AddCandidate(candidate)) return candidate.get();  // the pool holds it now
  return candidates.FindSame(*candidate);
}

bool TWorkWithPeers::ConnectDirectly(TPeerId& candidate) {
  if (!candidate.IsServer() || !PeerClass(candidate.kind)) return false;
  if (!candidate.wholeContent && !Host()->HostPieces()) return false;
  if (candidate.port <= 0 || candidate.ip == 0xFFFFFFFFu || Host()->HostComplete()) return false;
  const int budget = serverConnectionLimit - OpenServerConnections();
  if (budget <= 0) return false;
  int count = 0;
  return ConnectCandidate(candidate, 0, budget, count);
}

void TWorkWithPeers::TakeTorrentFrom(TPeerId& source) {
  RefPtr<TPeerId> keep = RefPtr<TPeerId>::Share(&source);
  if (!source.body.empty() && ParseElement(source.body)) {
    ScopedLock lock(&mutex);
    if (stateStore.Torrent().empty()) {
      stateStore.SetTorrent(source.body);
      reloadMetadata = 1;
      live.runPhase = TaskStatus::kRunning;
    }
  }
  // Whatever it delivered, the key source has done its job.
  RetrySource(source, SourceRetry::kDrop, 60);
}

void TWorkWithPeers::ReleaseConnection(TPeerObject& connection) {
  RefPtr<TPeerObject> keep = RefPtr<TPeerObject>::Share(&connection);
  for (size_t i = 0; i < connections.size(); ++i) {
    if (connections[i].get() != &connection) continue;
    // What it reached is what the source's next connection starts from, so
    // that a fast server coming back can take work from a slow one at once.
    if (connection.peerSource && connection.tick.windowReceived > 0) {
      const int64_t seconds = std::max<int64_t>(WallSeconds() - windowStart, 1);
      connection.peerSource->lastSpeed =
          static_cast<int32_t>(std::min<int64_t>(connection.tick.windowReceived / seconds, INT32_MAX));
    }
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
  ParkIdle(connection);
}

int TWorkWithPeers::OpenServerConnections() const { return CountConnections(kServerKinds); }

int TWorkWithPeers::ServerCandidateCount() const {
  int servers = 0;
  for (const auto& c : candidates) servers += c->IsServer() ? 1 : 0;
  return servers;
}

int64_t TWorkWithPeers::ServerSpeed() const { return SumPeerSpeeds(kServerKinds); }

void TWorkWithPeers::DropSlowServers(int count) { DropSlowConnections(kServerKinds, count, true); }

bool TWorkWithPeers::TakeServer(const std::string& address, const std::string& hostName, bool connectNow) {
  if (connectNow) {
    TPeerId* server = TakeSourceText(address, hostName);
    return server && ConnectDirectly(*server);
  }
  RefPtr<TPeerId> server = MakeSource(address, hostName);
  return server && AddCandidate(std::move(server));
}

int TWorkWithPeers::CountConnections(int kindMask) const {
  int open = 0;
  for (const auto& c : connections) open += (c->kind & kindMask) ? 1 : 0;
  return open;
}

int64_t TWorkWithPeers::SumPeerSpeeds(int kindMask) const {
  int64_t sum = 0;
  for (const auto& c : connections)
    if (c->kind & kindMask) sum += c->speed;
  return sum;
}

bool TWorkWithPeers::CanConnect(TPeerId& candidate) {
  if (candidate.port <= 0 || candidate.port > 65535) return false;
  if (candidate.ip == 0xFFFFFFFFu || candidate.ip == 0) return false;
  if (!candidate.MayConnectNow(live.currentSpeed, WallSeconds())) return false;
  if (ipFilter.IsBlocked(candidate.ip)) return false;
  if (candidate.kind == kBtNode) {
    static constexpr uint8_t kNoPeerId[sizeof candidate.peerId] = {};
    const bool knownId = std::memcmp(candidate.peerId, kNoPeerId, sizeof kNoPeerId) != 0;
    for (const auto& c : connections) {
      const TPeerId* other = c->peerSource.get();
      if (c->kind != kBtNode || !other) continue;
      if (other->ip == candidate.ip && other->port == candidate.port) return false;
      if (knownId && std::memcmp(other->peerId, candidate.peerId, sizeof kNoPeerId) == 0) return false;
    }
  }
  return !(candidate.IsServer() && Host()->HostComplete());
}

bool TWorkWithPeers::ConnectCandidate(TPeerId& candidate, int opened, int budget, int& count) {
  count = 0;
  RefPtr<TPeerId> keep = RefPtr<TPeerId>::Share(&candidate);
  const int limit = candidate.IsServer() && !candidate.wholeContent
                        ? std::max(candidate.allowance, config.serverMinConnections)
                        : candidate.allowance;
  while (candidate.openConnections < limit) {
    RefPtr<TPeerObject> peer = GetPeerObject(candidate.kind);
    if (!peer) break;
    ++candidate.openConnections;
    ++candidate.attempts;
    peer->serial = ++connectionSerial;
    if (!peer->AttachSource(&candidate)) {
      // Its Reset gives the count back once the source was taken.
      if (peer->peerSource.get() != &candidate)
        candidate.openConnections = std::max(candidate.openConnections - 1, 0);
      ParkIdle(*peer);
      break;
    }
    connections.push_back(peer);
    candidate.lastConnect = WallSeconds();
    ++count;
    // Never past the pass's budget.
    if (!candidate.WantsMoreConnections() || opened + count >= budget) break;
  }
  return count > 0;
}

void TWorkWithPeers::ConnectServers() {
  mirrorPolicy.NoteServerPass(WallSeconds());
  const int limit = serverConnectionLimit;
  const int open = OpenServerConnections();
  if (open >= limit) {
    connectionLimitReached = 1;
    return;
  }
  const int budget = limit - open;
  int opened = 0;
  for (size_t i = 0; i < candidates.size() && opened < budget; ++i) {
    RefPtr<TPeerId> source = candidates[i];
    // Kinds without a peer class yet wait for it.
    if (!source->IsServer() || !PeerClass(source->kind)) continue;
    // Pieces can only be fetched once the task knows them.
    if (!source->wholeContent && !Host()->HostPieces()) continue;
    if (!CanConnect(*source)) continue;
    int count = 0;
    if (!ConnectCandidate(*source, opened, budget, count)) ++source->failures;
    opened += count;
  }
  mirrorPolicy.AfterServerPass(opened, budget, WallSeconds());
  connectionLimitReached = OpenServerConnections() >= limit ? 1 : 0;
  candidates.Sort();
}

void TWorkWithPeers::ConnectPeers(bool trackersOnly) {
  if (!Switches().p2pEnabled) {
    DropConnections(kBtNode, 2, false);
    return;
  }
  const int limit = peerConnectionLimit;
  const int open = CountConnections(kBtNode);
  if (open >= limit) return;
  const int budget = std::min(limit - open, AttemptsAllowed());
  int opened = 0;
  for (size_t i = 0; i < candidates.size() && opened < budget && Switches().p2pEnabled; ++i) {
    RefPtr<TPeerId> source = candidates[i];
    if (source->IsServer() || source->wholeContent || source->redirected) continue;
    if (trackersOnly && source->kind != kTracker) continue;
    if (!PeerClass(source->kind)) continue;
    if (!CanConnect(*source)) continue;
    int count = 0;
    if (!ConnectCandidate(*source, opened, budget, count)) ++source->failures;
    opened += count;
  }
  candidates.Sort();
}

void TWorkWithPeers::ConnectPeersAndFallBack() {
  ConnectPeers();
  mirrorPolicy.SlowServerFallback();
}

void TWorkWithPeers::SortConnections() {
  const bool seeding = Host()->HostComplete();
  const int64_t now = WallSeconds();
  std::stable_sort(connections.begin(), connections.end(), [&](const auto& a, const auto& b) {
    return TPeerObject::RanksBefore(*a, *b, seeding, now);
  });
}

void TWorkWithPeers::CloseAsSlow(TPeerObject& connection) {
  if (TPeerId* source = connection.peerSource.get())
    source->group = std::max(source->group - 1, kSlowDropFloorGroup);
  ReleaseConnection(connection);
}

void TWorkWithPeers::DropConnections(int kindMask, int n, bool slowestOnly) {
  SortConnections();
  if (n <= 0) return;
  if (!slowestOnly) {
    int left = n;
    for (size_t i = connections.size(); i-- > 0 && left > 0;) {
      if (!(connections[i]->kind & kindMask)) continue;
      ReleaseConnection(*connections[i]);
      --left;
    }
    return;
  }
  const size_t from = connections.size() > static_cast<size_t>(n) ? connections.size() - static_cast<size_t>(n) : 0;
  for (size_t i = connections.size(); i-- > from;) {
    TPeerObject& c = *connections[i];
    if (!(c.kind & kindMask)) continue;
    if ((c.kind & kServerKinds) && c.peerSource && c.peerSource->IsRedirected()) continue;
    CloseAsSlow(c);
    break;
  }
  candidates.Sort();
}

void TWorkWithPeers::DropSlowConnections(int kindMask, int n, bool byShare) {
  SortConnections();
  if (n <= 0 || connections.empty()) return;
  const int64_t share = int64_t{live.currentSpeed} / static_cast<int64_t>(connections.size()) / 5;
  const size_t from = connections.size() > static_cast<size_t>(n) ? connections.size() - static_cast<size_t>(n) : 0;
  for (size_t i = connections.size(); i-- > from;) {
    TPeerObject& c = *connections[i];
    if (!(c.kind & kindMask)) continue;
    if (c.speed < 1 || (byShare && c.speed <= share)) CloseAsSlow(c);
  }
  candidates.Sort();
}

void TWorkWithPeers::TrimPeerConnections() {
  const int b = connectionBudget - 6;
  const int allowed = b - std::max(b / 12 - 6, 0);
  const int kept = allowed + 12;
  const TPieces* map = Host()->HostPieces();
  const bool nearlyDone = map && map->pieceCount - map->finishedPieces < 7;
  bool dropped = false;
  for (size_t i = connections.size(); i-- > 0;) {
    TPeerObject& c = *connections[i];
    if (c.kind != kBtNode) continue;
    const bool over = static_cast<int>(connections.size()) > allowed && c.MayBeDropped(nearlyDone);
    const bool idleTail = static_cast<int>(i) >= kept && c.speed <= 0;
    if (!over && !idleTail) continue;
    RefPtr<TPeerObject> keep = connections[i];
    BackOff(c.peerSource.get(), &c, 6);
    ReleaseConnection(c);
    dropped = true;
  }
  if (dropped) candidates.Sort();
}

bool TWorkWithPeers::RegisterInfoHash(const BtHash& infoHash) {
  if (!ServedInfoHashes::Register(infoHash, this)) return false;
  servedHash = infoHash;
  hashServed = true;
  return true;
}

void TWorkWithPeers::UnregisterInfoHash() {
  ServedInfoHashes::Unregister(this);
  hashServed = false;
}

bool TWorkWithPeers::IsInfoHashServed(const BtHash& infoHash) { return ServedInfoHashes::IsServed(infoHash); }

int TWorkWithPeers::TakeIncomingConnections() {
  auto matched = IncomingConnections::Sweep(hashServed ? &servedHash : nullptr, TickMs());
  int adopted = 0;
  for (auto& m : matched)
    if (AcceptIncoming(std::move(m.connection), m.sawPreamble)) ++adopted;
  return adopted;
}

bool TWorkWithPeers::AcceptIncoming(std::unique_ptr<QTcpSocket> connection, bool sawPreamble) {
  if (!connection || ipFilter.IsBlocked(connection->remoteIp)) return false;
  const int budget = connectionBudget;
  if (static_cast<int>(connections.size()) >= budget + 4 && CountConnections(kBtNode) >= budget)
    return false;
  RefPtr<TPeerObject> peer = GetPeerObject(kBtNode);
  if (!peer) return false;
  peer->serial = ++connectionSerial;
  if (!peer->AttachConnection(std::move(connection), sawPreamble)) {
    ParkIdle(*peer);
    return false;
  }
  connections.push_back(peer);
  return true;
}

void TWorkWithPeers::KeepMirrors() { mirrorPolicy.KeepMirrors(WallSeconds()); }

void TWorkWithPeers::DropSlowestServers(int count) {
  std::vector<TPeerObject*> servers;
  for (const auto& c : connections)
    if (c->kind & kServerKinds) servers.push_back(c.get());
  std::stable_sort(servers.begin(), servers.end(), [](auto* a, auto* b) { return a->speed < b->speed; });
  servers.resize(static_cast<size_t>(std::clamp(count, 0, static_cast<int>(servers.size()))));
  for (TPeerObject* server : servers) {
    RefPtr<TPeerObject> keep = RefPtr<TPeerObject>::Share(server);
    if (server->peerSource)
      server->peerSource->group = std::max(server->peerSource->group - 1, kSlowDropFloorGroup);
    ReleaseConnection(*server);
  }
  candidates.Sort();
}

void TWorkWithPeers::BackOff(TPeerId* source, TPeerObject* connection, int extra) {
  if (source) candidates.BackOff(*source, connection, extra, Host()->HostComplete());
}

void TWorkWithPeers::DriveConnections(int tickInSecond, int receiveEvery) {
  bool dropped = false;
  const bool everyone = receiveEvery <= 1 || tickInSecond % receiveEvery == 0;
  const bool seeding = Host()->HostComplete();
  for (size_t i = 0; i < connections.size();) {
    RefPtr<TPeerObject> peer = connections[i];
    const int rate = seeding ? peer->tick.sendRate : peer->speed;
    // A connection whose last step moved a block or more is busy now, whatever
    // its last window said: a new fast peer is not held back for seconds.
    const bool busy = peer->tick.received + peer->tick.sent >= kBlockSize;
    if (!everyone && peer->kind == kBtNode && rate < TPeerObject::kSlowSpeed && !busy) {
      peer->tick.received = peer->tick.sent = 0;
      ++i;
      continue;
    }
    const bool stepped = peer->DownloadTick() && peer->UploadTick();
    peer->tick.windowReceived += peer->tick.received;
    peer->tick.windowSent += peer->tick.sent;
    TPeerId* source = peer->peerSource.get();
    if (source && source->wholeContent && source->useMarker == 1 && source->bodyDone) {
      TakeTorrentFrom(*source);
      ReleaseConnection(*peer);
      dropped = true;
      continue;
    }
    if (stepped && !peer->IsDead()) {
      ++i;
      continue;
    }
    if (!stepped && peer->phase != TPeerObject::kPhaseStalled && peer->phase != TPeerObject::kPhaseNothingLeft) {
      if (source && source->IsServer() && peer->stats.blocksAccepted > 0) {
        // A server that delivered before it closed is no failure: it is
        // asked again at the next pass.
        source->failures = 0;
        source->sequence = 0;
      } else {
        BackOff(source, peer.get(), 1);
      }
    }
    ReleaseConnection(*peer);
    dropped = true;
  }
  if (dropped) candidates.Sort();
}

void TWorkWithPeers::UpdateSpeeds(int seconds) {
  const int64_t span = std::max(seconds, 1);
  for (const auto& c : connections) {
    const int speed = static_cast<int>(std::min<int64_t>(c->tick.windowReceived / span, INT32_MAX));
    c->speed = speed;
    c->tick.receiveRate = speed;
    c->tick.sendRate = static_cast<int>(std::min<int64_t>(c->tick.windowSent / span, INT32_MAX));
    if (c->peerSource) c->peerSource->lastSpeed = speed;
    c->tick.windowReceived = c->tick.windowSent = 0;
  }
  windowStart = WallSeconds();
  SortConnections();
  TrimPeerConnections();
}

void TWorkWithPeers::NoteSource(const TPeerId& source, SourceProblem problem, const std::string& detail) {
  const auto notice = noticeBook.Problem(source.ShownUrl(), problem, detail);
  if (!notice) return;
  LogLine(kLogEngine, "%s", notice->text.c_str());
  live.notices.push_back(*notice);
}

void TWorkWithPeers::WatchSourcesLeft() {
  int servers = OpenServerConnections() + static_cast<int>(candidates.ResolvingCount());
  int peerSources = CountConnections(kBtNode | kTracker);
  for (const auto& candidate : candidates) {
    if (candidate->IsServer())
      ++servers;
    else
      ++peerSources;
  }
  const auto notice = noticeBook.Remaining(servers, peerSources);
  if (!notice) return;
  LogLine(kLogEngine, "%s", notice->text.c_str());
  live.notices.push_back(*notice);
}

void TWorkWithPeers::AnnounceCompletion() {
  // Due now, not at the tracker's next ten-minute turn.
  for (const RefPtr<TPeerId>& tracker : trackerEvents.Completed()) tracker->lastConnect = 0;
}

void TWorkWithPeers::EndStopAnnouncesBy(uint32_t tickMs) { stopAnnounceDeadline = tickMs; }

void TWorkWithPeers::AnnounceStop() {
  std::vector<RefPtr<TPeerId>> due = trackerEvents.Stopping();
  if (due.empty() || !Switches().p2pEnabled) return;
  const uint32_t start = TickMs();
  int64_t budget = kStopAnnounceMs;
  if (const uint32_t deadline = stopAnnounceDeadline.load(); deadline != 0)
    budget = std::min<int64_t>(budget, static_cast<int32_t>(deadline - start));
  if (budget <= 0) return;
  // Peers and servers are done with; only the trackers' exchanges go on.
  for (size_t i = connections.size(); i-- > 0;)
    if (connections[i]->kind != kTracker) ReleaseConnection(*connections[i]);
  // A "completed" still owed and the "stopped" make two exchanges; a tracker
  // that fails more often is given up.
  constexpr int kExchangesPerTracker = 3;
  std::vector<int> exchanges(due.size(), 0);
  // Counted in passes of a known sleep, so that a test's stopped clock
  // cannot hold the end of the run.
  constexpr uint32_t kPassMs = 5;
  for (int64_t pass = 0; trackerEvents.AnyOwed() && pass < budget / kPassMs; ++pass) {
    for (size_t i = 0; i < due.size(); ++i) {
      TPeerId& tracker = *due[i];
      if (!trackerEvents.Owed(tracker) || tracker.openConnections > 0 || exchanges[i] >= kExchangesPerTracker)
        continue;
      ++exchanges[i];
      int count = 0;
      ConnectCandidate(tracker, 0, 1, count);
    }
    if (CountConnections(kTracker) == 0) break;  // every exchange left has failed
    DriveConnections();
    platform::SleepMs(kPassMs);
  }
}

void TWorkWithPeers::ResetPool() {
  noticeBook.Reset();
  for (auto& connection : connections) connection->Reset();
  connections.clear();
  idlePeers.clear();
  candidates.Clear();
  trackerEvents.Clear();
  mirrorPolicy.Reset();
  connectionLimitReached = 0;
}

}  // namespace pf
