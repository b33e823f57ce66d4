#include "engine/task/TWorkWithPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "engine/content/Bencode.h"
#include "engine/content/TPieces.h"
#include "engine/task/EngineListener.h"
#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "engine/base/ScopedLock.h"
#include "engine/base/EngineClock.h"
#include "engine/content/BlockSize.h"

namespace pf {
namespace {

int KindSlot(int kind) {
  switch (kind) {
    case TPeerId::kBtNode: return 0;
    case TPeerId::kHttp: return 1;
    case TPeerId::kFtp: return 2;
    case TPeerId::kTracker: return 3;
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

constexpr int kSlowServerBytes = 1024;
constexpr int kSlowServerSeconds = 16;
constexpr int kEmptyPassesBeforeMirrors = 10;

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
  if (idlePeers.size() > static_cast<size_t>(std::max(config.peerBudget, 0)) + 12) idlePeers.clear();
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
  useMarks.resize(sources.size(), kNew);
  for (uint8_t& mark : useMarks) {
    if (mark == kOwnTaken && !torrent.bytes.empty()) mark = kOwn;
    if (mark == kTaken) mark = kNew;
  }
}

void TWorkWithPeers::SortCandidates() {
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    if (a->group != b->group) return a->group > b->group;
    if (a->score != b->score) return a->score > b->score;
    if (a->failures != b->failures) return a->failures < b->failures;
    if (a->attempts != b->attempts) return a->attempts < b->attempts;
    return a->sequence < b->sequence;
  });
}

bool TWorkWithPeers::AddCandidate(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId) {
  if (!source) return false;
  const bool peer = source->kind == TPeerId::kBtNode;
  const bool udpNode = source->url.rfind("UDP", 0) == 0;
  // Never ourselves: a peer on this machine's loopback, with our peer id, or
  // at our own listening address.
  if (peer && source->ip == htonl(INADDR_LOOPBACK)) return false;
  if (peer && ownPeerIdSet && std::memcmp(source->peerId, ownPeerId, sizeof ownPeerId) == 0) return false;
  if (EngineListener::Port() != 0 && source->port == EngineListener::Port() &&
      (source->ip == QTcpSocket::LocalAddress() || source->ip == Switches().bindAddress))
    return false;

  int first = -1, last = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    TPeerId& known = *candidates[i];
    if (known.group == source->group) {
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
    // A redirect's target takes over from its source, even on the same server
    // (a redirect back to the same text is a loop and stays refused).
    if (known.IsRedirected() && !TPeerId::SameSource(&known, source.get())) continue;
    // One address is one server: another text at the same IP is the same
    // mirror. (Peers and trackers are told apart by port and kind below.)
    const bool unknownIp = known.ip == 0xFFFFFFFFu || source->ip == 0xFFFFFFFFu;
    if (source->IsServer() && known.IsServer() && !source->url.empty() && (known.ip == source->ip || unknownIp))
      return false;
    if (known.ip == source->ip && known.port == source->port && known.kind == source->kind) {
      if (!known.IsServer() && !source->IsServer() && (keepPeerId || (trustPeerId && !udpNode)))
        std::memcpy(known.peerId, source->peerId, sizeof known.peerId);
      return false;
    }
  }
  if (peer) source->group = 19;
  if (!udpNode) {
    static constexpr uint8_t kPrefix[4] = {0x00, 0x01, 'S', 's'};
    std::memcpy(source->peerId, kPrefix, sizeof kPrefix);
  }
  // Servers and peers that named themselves spread over their group; others
  // start at its front.
  size_t at = first < 0 ? 0 : static_cast<size_t>(first);
  if ((trustPeerId || source->IsServer()) && last > first) {
    std::uniform_int_distribution<int> pick(first, last);
    at = static_cast<size_t>(pick(placeRandom));
  }
  candidates.insert(candidates.begin() + static_cast<std::ptrdiff_t>(at), std::move(source));
  SortCandidates();
  return true;
}

int TWorkWithPeers::AttemptsAllowed() const {
  const int budget = config.peerBudget;
  const int limit = std::min(2 * std::min(kConnectAttemptLimit, budget), budget);
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
  const bool fillBackup = sourceBackup.empty();
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
    if (fillBackup && mark == kNew) sourceBackup.push_back(sources[i]);
    mark = mark == kOwn ? kOwnTaken : kTaken;
    AddCandidate(std::move(candidate));
  }
  ResolveCandidates();
}

void TWorkWithPeers::ResolveCandidates() {
  for (auto it = candidates.begin(); it != candidates.end();) {
    TPeerId& c = **it;
    // Peers learnt from trackers and the LAN come with their address.
    const bool given = c.kind == TPeerId::kBtNode && c.ip != 0xFFFFFFFFu && c.port > 0;
    if (c.parsed || given || c.ParseSource()) {
      ++it;
      continue;
    }
    if (c.unresolvable) Host()->SetStateCode(kStateHostUnresolved);
    it = candidates.erase(it);
  }
}

TPeerId* TWorkWithPeers::FindCandidate(const std::string& address) {
  for (const auto& c : candidates)
    if (c->url == address) return c.get();
  return nullptr;
}

RefPtr<TPeerId> TWorkWithPeers::MakeSource(const std::string& address, const std::string& hostName) {
  auto candidate = RefPtr<TPeerId>::Make(address);
  if (!candidate->ParseSource()) {
    // A host name that did not resolve is reported; the task goes on.
    if (candidate->unresolvable) Host()->SetStateCode(kStateHostUnresolved);
    return {};
  }
  if (!hostName.empty() && hostName != "null") candidate->Details().hostName = hostName;
  candidate->group = kOwnSourceGroup;
  return candidate;
}

TPeerId* TWorkWithPeers::TakeSourceText(const std::string& address, const std::string& hostName) {
  if (TPeerId* known = FindCandidate(address)) return known;
  RefPtr<TPeerId> candidate = MakeSource(address, hostName);
  if (!candidate) return nullptr;
  if (AddCandidate(candidate)) return candidate.get();  // the pool holds it now
  for (const auto& c : candidates)
    if (TPeerId::SameSource(c.get(), candidate.get()) && c->ip == candidate->ip) return c.get();
  return nullptr;
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

void TWorkWithPeers::ReAddSourceBackup(bool direct) {
  const std::vector<std::string> backup = sourceBackup;
  for (const std::string& address : backup) {
    TPeerId* candidate = TakeSourceText(address, std::string());
    if (candidate && direct) ConnectDirectly(*candidate);
  }
}

void TWorkWithPeers::RetrySource(TPeerId* source, int flag, int seconds) {
  for (auto it = candidates.begin(); it != candidates.end();) {
    if (!TPeerId::SameSource(it->get(), source) || (*it)->ip != source->ip) {
      ++it;
      continue;
    }
    if (flag == 1) {
      (*it)->sequence += std::max(1, seconds);
      ++it;
    } else {
      it = candidates.erase(it);
    }
  }
  SortCandidates();
}

void TWorkWithPeers::TakeTorrentFrom(TPeerId& source) {
  RefPtr<TPeerId> keep = RefPtr<TPeerId>::Share(&source);
  if (!source.body.empty() && ParseElement(source.body)) {
    ScopedLock lock(&mutex);
    if (torrent.bytes.empty()) {
      torrent.bytes = source.body;
      torrent.dirty = true;
      reloadMetadata = 1;
      live.runPhase = TaskStatus::kRunning;
    }
  }
  // Whatever it delivered, the key source has done its job.
  RetrySource(&source, 0, 60);
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

int TWorkWithPeers::OpenServerConnections() const { return CountConnections(TPeerId::kHttp | TPeerId::kFtp); }

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
  // (The IP filter of this system is empty: every address passes.)
  if (candidate.kind == TPeerId::kBtNode) {
    static constexpr uint8_t kNoPeerId[20] = {};
    const bool knownId = std::memcmp(candidate.peerId, kNoPeerId, 20) != 0;
    for (const auto& c : connections) {
      const TPeerId* other = c->peerSource.get();
      if (c->kind != TPeerId::kBtNode || !other) continue;
      if (other->ip == candidate.ip && other->port == candidate.port) return false;
      if (knownId && std::memcmp(other->peerId, candidate.peerId, 20) == 0) return false;
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
  if (firstServerPass == 0) firstServerPass = WallSeconds();
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
  if (opened == 0 && ++emptyServerPasses >= kEmptyPassesBeforeMirrors) {
    if (OpenServerConnections() < limit) {
      ReAddSourceBackup(false);
      ResolveCandidates();
    }
    ResolveCandidates();
    TakeMirrors(budget, true);
    emptyServerPasses = 0;
  }
  connectionLimitReached = OpenServerConnections() >= limit ? 1 : 0;
  SortCandidates();
}

void TWorkWithPeers::ConnectPeers(bool trackersOnly) {
  if (!Switches().p2pEnabled) {
    DropConnections(TPeerId::kBtNode, 2, false);
    return;
  }
  const int limit = peerConnectionLimit;
  const int open = CountConnections(TPeerId::kBtNode);
  if (open >= limit) return;
  const int budget = std::min(limit - open, AttemptsAllowed());
  int opened = 0;
  for (size_t i = 0; i < candidates.size() && opened < budget && Switches().p2pEnabled; ++i) {
    RefPtr<TPeerId> source = candidates[i];
    if (source->IsServer() || source->wholeContent || source->redirected) continue;
    if (trackersOnly && source->kind != TPeerId::kTracker) continue;
    if (!PeerClass(source->kind)) continue;
    if (!CanConnect(*source)) continue;
    int count = 0;
    if (!ConnectCandidate(*source, opened, budget, count)) ++source->failures;
    opened += count;
  }
  SortCandidates();
}

void TWorkWithPeers::ConnectPeersAndFallBack() {
  ConnectPeers();
  SlowServerFallback();
}

void TWorkWithPeers::SlowServerFallback() {
  if (SumPeerSpeeds(TPeerId::kHttp | TPeerId::kFtp) >= kSlowServerBytes) {
    slowServerSeconds = 0;
    return;
  }
  if (++slowServerSeconds < kSlowServerSeconds) return;
  if (OpenServerConnections() < serverConnectionLimit) {
    ReAddSourceBackup(true);
    ResolveCandidates();
  }
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
    if ((c.kind & (TPeerId::kHttp | TPeerId::kFtp)) && c.peerSource && c.peerSource->IsRedirected()) continue;
    CloseAsSlow(c);
    break;
  }
  SortCandidates();
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
  SortCandidates();
}

void TWorkWithPeers::TrimPeerConnections() {
  const int b = config.peerBudget - 6;
  const int allowed = b - std::max(b / 12 - 6, 0);
  const int kept = allowed + 12;
  const TPieces* map = Host()->HostPieces();
  const bool nearlyDone = map && map->pieceCount - map->finishedPieces < 7;
  bool dropped = false;
  for (size_t i = connections.size(); i-- > 0;) {
    TPeerObject& c = *connections[i];
    if (c.kind != TPeerId::kBtNode) continue;
    const bool over = static_cast<int>(connections.size()) > allowed && c.MayBeDropped(nearlyDone);
    const bool idleTail = static_cast<int>(i) >= kept && c.speed <= 0;
    if (!over && !idleTail) continue;
    RefPtr<TPeerObject> keep = connections[i];
    BackOff(c.peerSource.get(), &c, 6);
    ReleaseConnection(c);
    dropped = true;
  }
  if (dropped) SortCandidates();
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
  if (!connection) return false;
  const int budget = config.peerBudget;
  if (static_cast<int>(connections.size()) >= budget + 4 && CountConnections(TPeerId::kBtNode) >= budget)
    return false;
  RefPtr<TPeerObject> peer = GetPeerObject(TPeerId::kBtNode);
  if (!peer) return false;
  peer->serial = ++connectionSerial;
  if (!peer->AttachConnection(std::move(connection), sawPreamble)) {
    ParkIdle(*peer);
    return false;
  }
  connections.push_back(peer);
  return true;
}

void TWorkWithPeers::KeepMirrors() {
  const int64_t now = WallSeconds();
  bool haveMirrors;
  {
    ScopedLock lock(&mutex);
    haveMirrors = mirrorsPresent && !mirrorAddresses.empty();
  }
  const int limit = serverConnectionLimit;
  if (!haveMirrors) {
    // Without mirrors, the slowest servers make room now and then, so that
    // the other sources of the task get their turn.
    if (firstServerPass == 0 || now - firstServerPass <= 45) return;
    if (lastMirrorPass != 0 && now - lastMirrorPass < 45) return;
    lastMirrorPass = now;
    const int open = OpenServerConnections();
    int servers = 0;
    for (const auto& c : candidates) servers += c->IsServer() ? 1 : 0;
    if (open >= limit && servers >= limit) DropSlowConnections(TPeerId::kHttp | TPeerId::kFtp, open - limit + 1, true);
    return;
  }
  if (lastMirrorPass != 0 && now - lastMirrorPass < 31) return;
  lastMirrorPass = now;
  int open = OpenServerConnections();
  if (open > limit - 1) {
    DropSlowestServers(open - limit + 1);
    open = OpenServerConnections();
  }
  if (open < limit) TakeMirrors(open == limit - 1 ? 1 : limit - open);
}

void TWorkWithPeers::DropSlowestServers(int count) {
  std::vector<TPeerObject*> servers;
  for (const auto& c : connections)
    if (c->kind & 6) servers.push_back(c.get());
  std::stable_sort(servers.begin(), servers.end(), [](auto* a, auto* b) { return a->speed < b->speed; });
  servers.resize(static_cast<size_t>(std::clamp(count, 0, static_cast<int>(servers.size()))));
  for (TPeerObject* server : servers) {
    RefPtr<TPeerObject> keep = RefPtr<TPeerObject>::Share(server);
    if (server->peerSource) server->peerSource->group = std::max(server->peerSource->group - 1, 20);
    ReleaseConnection(*server);
  }
  SortCandidates();
}

void TWorkWithPeers::TakeMirrors(int count, bool direct) {
  std::vector<std::string> addresses, hosts;
  {
    ScopedLock lock(&mutex);
    addresses = mirrorAddresses;
    hosts = mirrorHosts;
  }
  if (addresses.empty() || count <= 0) return;
  std::mt19937 random(static_cast<uint32_t>(WallSeconds()));
  std::uniform_int_distribution<size_t> pick(0, addresses.size() - 1);
  int taken = 0;
  for (int draw = 0; draw < 2 * count && taken < count; ++draw) {
    const size_t i = pick(random);
    if (direct) {
      TPeerId* mirror = TakeSourceText(addresses[i], i < hosts.size() ? hosts[i] : std::string());
      if (mirror && ConnectDirectly(*mirror)) ++taken;
      continue;
    }
    RefPtr<TPeerId> mirror = MakeSource(addresses[i], i < hosts.size() ? hosts[i] : std::string());
    if (mirror && AddCandidate(std::move(mirror))) ++taken;
  }
}

void TWorkWithPeers::BackOff(TPeerId* source, TPeerObject* connection, int extra) {
  if (!source) return;
  // A peer that came to us is not held back: we never chose to call it.
  if (connection && connection->acceptedIncoming) return;
  for (size_t i = 0; i < candidates.size(); ++i) {
    RefPtr<TPeerId> c = candidates[i];
    if (!TPeerId::SameSource(c.get(), source)) continue;
    if (c->IsServer() && c->openConnections > 1) {
      if (c->sequence <= 0) c->sequence += 2;
      return;
    }
    // A peer that once shook hands gets one failure for free.
    if (handshakeIps.erase(c->ip) == 0) c->sequence += 3 * std::max(c->failures - 1, 0);
    c->sequence += extra;
    ++c->failures;
    const bool neverReady = !connection || connection->linkState != TPeerObject::kReady;
    if (c->kind == TPeerId::kBtNode && (neverReady || connection->IsUnwanted())) {
      const int e = extra < 0 || extra > 4095 ? 1 : extra;
      const int64_t f = std::max(c->failures - 1, e);
      c->sequence += (f * static_cast<int64_t>(candidates.size()) <= 400 ? 1 : 2) * e + 5;
      if (Host()->HostComplete()) c->sequence += 20;
      if (c->sequence <= 0) c->sequence = 10;
      // To the back of the line.
      candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(i));
      candidates.push_back(c);
    }
    return;
  }
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
    if (!everyone && peer->kind == TPieceSource::kBitTorrentPeer && rate < 28672 && !busy) {
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
    if (!stepped && peer->phase != TPeerObject::kPhaseStalled && peer->phase != TPeerObject::kPhaseNothingLeft)
      BackOff(peer->peerSource.get(), peer.get(), 1);
    ReleaseConnection(*peer);
    dropped = true;
  }
  if (dropped) SortCandidates();
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

void TWorkWithPeers::ResetPool() {
  for (auto& connection : connections) connection->Reset();
  connections.clear();
  idlePeers.clear();
  candidates.clear();
  sourceBackup.clear();
  connectionLimitReached = 0;
  lastMirrorPass = 0;
  firstServerPass = 0;
  emptyServerPasses = 0;
  slowServerSeconds = 0;
}

}  // namespace pf
