#include "engine/core/TWorkWithPeers.h"

#include <algorithm>
#include <climits>
#include <random>

#include "engine/content/Bencode.h"
#include "engine/core/ScopedLock.h"
#include "engine/peers/THttpPeer.h"

namespace pf {

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

bool TWorkWithPeers::AddCandidate(RefPtr<TPeerId> source) {
  if (!source) return false;
  for (const auto& known : candidates)
    if (TPeerId::SameSource(known.get(), source.get()) && known->ip == source->ip) return false;
  candidates.push_back(std::move(source));
  SortCandidates();
  return true;
}

void TWorkWithPeers::FeedSources() {
  if (sources.empty()) return;
  useMarks.resize(sources.size(), kNew);
  if (keyIsFirstSource && useMarks[0] == kNew) useMarks[0] = kOwn;
  for (size_t i = sources.size(); i-- > 0;) {
    uint8_t& mark = useMarks[i];
    if (mark == kTaken || mark == kOwnTaken || sources[i].empty()) continue;
    auto candidate = RefPtr<TPeerId>::Make(sources[i]);
    if (!candidate->ParseSource()) {
      // A host name that did not resolve is reported; the task goes on.
      if (candidate->unresolvable) Host()->SetStateCode(kStateHostUnresolved);
      continue;
    }
    if (mark == kOwn) {
      // The task's own source delivers its torrent file, whole.
      candidate->wholeContent = 1;
      candidate->useMarker = 1;
      candidate->allowance = 1;
    }
    mark = mark == kOwn ? kOwnTaken : kTaken;
    candidate->group = 29;
    AddCandidate(std::move(candidate));
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
  for (size_t i = 0; i < connections.size(); ++i) {
    if (connections[i].get() != &connection) continue;
    // What it reached is what the source's next connection starts from, so
    // that a fast server coming back can take work from a slow one at once.
    if (connection.peerSource && windowReceived[i] > 0) {
      const int64_t seconds = std::max<int64_t>(Host()->WallNow() - windowStart, 1);
      connection.peerSource->lastSpeed =
          static_cast<int32_t>(std::min<int64_t>(windowReceived[i] / seconds, INT32_MAX));
    }
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
    windowReceived.erase(windowReceived.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
  connection.Reset();
}

int TWorkWithPeers::OpenServerConnections() const {
  int open = 0;
  for (const auto& c : connections) open += (c->kind & 6) ? 1 : 0;
  return open;
}

void TWorkWithPeers::ConnectServers() {
  int open = OpenServerConnections();
  for (size_t i = 0; i < candidates.size() && open < serverConnectionLimit; ++i) {
    RefPtr<TPeerId> source = candidates[i];
    if (source->kind != TPeerId::kHttp) continue;  // FTP, trackers and peers join with their protocols
    // Pieces can only be fetched once the task knows them.
    if (!source->wholeContent && !Host()->HostPieces()) continue;
    if (source->openConnections >= source->allowance) continue;
    if (source->openConnections == 1 && source->resourceSize <= 0) continue;
    if (source->sequence > 0) {
      --source->sequence;
      continue;
    }
    auto peer = RefPtr<THttpPeer>::Make(Host());
    if (!peer->AttachSource(source.get())) {
      ++source->failures;
      peer->Reset();
      continue;
    }
    ++source->openConnections;
    ++source->attempts;
    source->lastConnect = Host()->WallNow();
    connections.push_back(RefPtr<TPeerObject>::Share(peer.get()));
    windowReceived.push_back(0);
    ++open;
  }
  connectionLimitReached = open >= serverConnectionLimit ? 1 : 0;
}

void TWorkWithPeers::KeepMirrors() {
  const int64_t now = Host()->WallNow();
  {
    ScopedLock lock(&mutex);
    if (!mirrorsPresent || mirrorAddresses.empty()) return;
  }
  if (lastMirrorPass != 0 && now - lastMirrorPass < 31) return;
  lastMirrorPass = now;
  const int limit = serverConnectionLimit;
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

void TWorkWithPeers::TakeMirrors(int count) {
  std::vector<std::string> addresses, hosts;
  {
    ScopedLock lock(&mutex);
    addresses = mirrorAddresses;
    hosts = mirrorHosts;
  }
  if (addresses.empty() || count <= 0) return;
  std::mt19937 random(static_cast<uint32_t>(Host()->WallNow()));
  std::uniform_int_distribution<size_t> pick(0, addresses.size() - 1);
  int taken = 0;
  for (int draw = 0; draw < 2 * count && taken < count; ++draw) {
    const size_t i = pick(random);
    auto mirror = RefPtr<TPeerId>::Make(addresses[i]);
    if (!mirror->ParseSource()) {
      if (mirror->unresolvable) Host()->SetStateCode(kStateHostUnresolved);
      continue;
    }
    if (i < hosts.size() && !hosts[i].empty() && hosts[i] != "null") mirror->Details().hostName = hosts[i];
    mirror->group = 29;
    if (AddCandidate(std::move(mirror))) ++taken;
  }
}

void TWorkWithPeers::BackOff(TPeerId* source, int extra) {
  if (!source) return;
  for (auto& c : candidates) {
    if (!TPeerId::SameSource(c.get(), source)) continue;
    if ((c->kind & 6) && c->openConnections > 1) {
      if (c->sequence <= 0) c->sequence += 2;
      return;
    }
    c->sequence += 3 * std::max(c->failures - 1, 0) + extra;
    ++c->failures;
    return;
  }
}

void TWorkWithPeers::DriveConnections() {
  bool dropped = false;
  for (size_t i = 0; i < connections.size();) {
    RefPtr<TPeerObject> peer = connections[i];
    const bool stepped = peer->DownloadTick();
    windowReceived[i] += peer->tick.received;
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
      BackOff(peer->peerSource.get(), 1);
    ReleaseConnection(*peer);
    dropped = true;
  }
  if (dropped) SortCandidates();
}

void TWorkWithPeers::UpdateSpeeds(int seconds) {
  for (size_t i = 0; i < connections.size(); ++i) {
    const int speed = static_cast<int>(windowReceived[i] / std::max(seconds, 1));
    connections[i]->speed = speed;
    connections[i]->tick.receiveRate = speed;
    if (connections[i]->peerSource) connections[i]->peerSource->lastSpeed = speed;
    windowReceived[i] = 0;
  }
  windowStart = Host()->WallNow();
}

void TWorkWithPeers::ResetPool() {
  for (auto& connection : connections) connection->Reset();
  connections.clear();
  windowReceived.clear();
  candidates.clear();
  connectionLimitReached = 0;
  lastMirrorPass = 0;
}

}  // namespace pf
