#include "engine/peers/TPeerObject.h"

#include <algorithm>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/content/TPieces.h"
#include "engine/schedule/SegmentList.h"
#include "engine/content/BlockSize.h"

namespace pf {
bool TPeerObject::NeedsBytes(TPieces& map, int piece) {
  if (!map.IsWanted(piece)) return false;
  const TPiece* p = map.Piece(piece);
  if (!p || p->complete) return false;
  for (int offset = p->flushed / kBlockSize * kBlockSize; offset < p->size; offset += kBlockSize)
    if (!p->HasUnit(offset)) return true;
  return false;
}

TPeerObject::~TPeerObject() {
  // Only the base part is left here; the connection and source go with it.
  requests.clear();
  if (connection) connection->Close();
  if (work && segment) work->HostSegments().Detach(*this);
  if (peerSource) --peerSource->users;
}

uint32_t TPeerObject::Ipv4() const {
  if (!peerSource) return 0;
  uint8_t b[4];
  std::memcpy(b, &peerSource->ip, 4);  // network order in memory
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

void TPeerObject::Reset() {
  // Server requests follow from segments and pieces; nobody else needs them.
  requests.clear();
  if (connection) connection->Close();
  ReleaseSegment();
  linkState = kUnlinked;
  phase = kPhaseIdle;
  sentBadPiece = 0;
  acceptedIncoming = 0;
  stats = Stats();
  tick = TickCounts();
  // A re-used object starts like a new one.
  lastPiece = -1;
  segmentCount = 0;
  speed = 0;
  sourceKey = nullptr;
  failures = 0;
  attachedAt = 0;
  if (peerSource) {
    peerSource->openConnections = std::max(peerSource->openConnections - 1, 0);
    --peerSource->users;
    peerSource.reset();
  }
}

bool TPeerObject::AttachSource(TPeerId* source) {
  if (!source || source == peerSource.get() || source->RefCount() <= 0) return false;
  if (peerSource) --peerSource->users;
  peerSource = RefPtr<TPeerId>::Share(source);
  ++source->users;
  sourceKey = source;
  if (!connection) connection = std::make_unique<QTcpSocket>();
  else connection->Close();
  stats.attached = true;
  stats.activityTime = attachedAt = work ? WallSeconds() : 0;
  speed = tick.receiveRate = source->lastSpeed;
  return true;
}

bool TPeerObject::AttachConnection(std::unique_ptr<QTcpSocket> accepted, bool /*sawPreamble*/) {
  Reset();
  connection = std::move(accepted);
  if (connection) linkState = kConnected;
  acceptedIncoming = 1;
  stats.attached = true;
  stats.activityTime = attachedAt = work ? WallSeconds() : 0;
  return IsConnected();
}

bool TPeerObject::RanksBefore(const TPeerObject& a, const TPeerObject& b, bool seeding, int64_t now) {
  const bool aReady = a.linkState == kReady, bReady = b.linkState == kReady;
  if (aReady != bReady) return aReady;
  auto steps = [](int64_t rate) { return rate / 2048; };
  auto average = [now](const TPeerObject& p, int64_t bytes) {
    return bytes / std::max<int64_t>(now - p.attachedAt, 1);
  };
  // Higher first on every key but the serial number.
  auto order = [](int64_t x, int64_t y) { return x > y ? -1 : (x < y ? 1 : 0); };
  int c = 0;
  if (seeding) {
    if ((c = order(a.stats.outputPending, b.stats.outputPending))) return c < 0;
    if ((c = order(a.segment != nullptr, b.segment != nullptr))) return c < 0;
    if ((c = order(steps(a.tick.sendRate), steps(b.tick.sendRate)))) return c < 0;
    return steps(average(a, a.tick.totalSent)) > steps(average(b, b.tick.totalSent));
  }
  if ((c = order(steps(a.tick.receiveRate), steps(b.tick.receiveRate)))) return c < 0;
  if ((c = order(steps(average(a, a.tick.totalReceived)), steps(average(b, b.tick.totalReceived))))) return c < 0;
  if ((c = order(a.stats.outputPending, b.stats.outputPending))) return c < 0;
  if ((c = order(steps(a.tick.sendRate), steps(b.tick.sendRate)))) return c < 0;
  if ((c = order(steps(a.tick.totalReceived), steps(b.tick.totalReceived)))) return c < 0;
  return a.serial < b.serial;
}

bool TPeerObject::DownloadTick() {
  if (!IsConnected() || sentBadPiece) return false;
  const uint64_t receivedBefore = BytesReceivedSoFar();
  const uint64_t sentBefore = connection->bytesSent;
  const bool alive = Process() && FillRequests() && AfterTick() && IsConnected();
  if (connection) {
    const uint64_t receivedAfter = BytesReceivedSoFar();
    tick.received = static_cast<int64_t>(receivedAfter - std::min(receivedBefore, receivedAfter));
    tick.sent = static_cast<int64_t>(connection->bytesSent - std::min(sentBefore, connection->bytesSent));
    tick.totalReceived += tick.received;
    tick.totalSent += tick.sent;
    if (tick.received || tick.sent) stats.idleTicks = 0; else ++stats.idleTicks;
    stats.outputPending = linkState == kReady && connection->QueuedCount() > 0;
  }
  return alive;
}

bool TPeerObject::UploadTick() {
  if (kind != kBtNode) return true;
  if (!IsConnected()) return false;
  const uint64_t sentBefore = connection->bytesSent;
  const bool alive = Serve() && IsConnected();
  if (connection) {
    const int64_t sent = static_cast<int64_t>(connection->bytesSent - std::min(sentBefore, connection->bytesSent));
    tick.sent += sent;
    if (sent) stats.idleTicks = 0;
  }
  return alive;
}

bool TPeerObject::IsDead(bool skipUnwanted) {
  if (!IsConnected() || IsDone() || (!skipUnwanted && IsUnwanted())) return true;
  return work && work->HostComplete() && HasEverything();
}

bool TPeerObject::OnBlock(int64_t block, int length, const uint8_t* bytes) {
  if (block < 0 || length < 0 || !bytes || !IsConnected()) return false;
  TPieces* map = work ? work->HostPieces() : nullptr;
  if (!map || map->pieceLength <= 0) return true;
  stats.activityTime = WallSeconds();
  ++stats.blocksAccepted;
  if (segment) ++segment->started;

  auto matches = [&](const BlockRequest& r) { return r.block == block && r.length == length; };
  auto mine = std::find_if(requests.begin(), requests.end(), matches);
  if (mine != requests.end()) {
    requests.erase(mine);
  } else {
    auto& shared = work->SharedRequests();
    auto pooled = std::find_if(shared.begin(), shared.end(), matches);
    if (pooled == shared.end()) return false;  // nobody asked for it
    shared.erase(pooled);
  }
  if (phase == kPhaseAwaitingBlock) phase = kPhaseExchange;

  const int64_t at = block * kBlockSize;
  const int piece = static_cast<int>(at / map->pieceLength);
  TPiece* target = map->Piece(piece);
  if (!target) return false;
  const auto result = target->Receive(bytes, length, static_cast<int>(at - map->PieceStart(piece)), this);
  if (result.result < 0) {
    work->OnWasted(target->size);
    ++failures;
    return false;
  }
  if (!result.accepted) return true;
  work->OnPayload(kind, length);
  if (target->complete) {
    // Written at once: a fast server would otherwise fill memory with
    // finished pieces between two saves.
    target->FinishWrite();
    lastPiece = piece;
    if (segment && segment->current == piece && piece < segment->end) segment->current = piece + 1;
    work->HostSegments().CloseIfDone(*this);
  }
  return true;
}

void TPeerObject::QueuePiece(int piece, int64_t from) {
  TPieces* map = work->HostPieces();
  const TPiece* p = map->Piece(piece);
  if (!p) return;
  const int64_t base = map->PieceStart(piece);
  for (int offset = p->flushed / kBlockSize * kBlockSize; offset < p->size; offset += kBlockSize) {
    if (p->HasUnit(offset) || base + offset < from) continue;
    const int64_t block = (base + offset) / kBlockSize;
    if (std::any_of(requests.begin(), requests.end(), [&](const BlockRequest& r) { return r.block == block; }))
      continue;
    requests.push_back({block, std::min(kBlockSize, p->size - offset), MonotonicSeconds()});
  }
  stats.currentPiece = piece;
}

bool TPeerObject::FillRequests() {
  if (!work || !work->HostPieces()) return true;
  const size_t depth = PipelineDepth();
  if (requests.size() > depth) return true;
  for (int tries = 0; tries < 3; ++tries) {
    const int piece = NextPiece();
    if (piece < 0) break;
    if (!NeedsBytes(*work->HostPieces(), piece)) continue;
    QueuePiece(piece);
    break;
  }
  return true;
}

int TPeerObject::NextPiece() {
  TPieces* map = work ? work->HostPieces() : nullptr;
  if (!map || map->pieceCount <= 0) return -1;
  SegmentList& segments = work->HostSegments();
  auto requested = [&](int piece) {
    const int64_t first = map->PieceStart(piece) / kBlockSize;
    const int64_t last = (map->PieceStart(piece) + map->Piece(piece)->size - 1) / kBlockSize;
    return std::any_of(requests.begin(), requests.end(),
                       [&](const BlockRequest& r) { return r.block >= first && r.block <= last; });
  };
  auto firstNeeded = [&](int from, int to) {
    for (int piece = std::max(from, 0); piece <= to && piece < map->pieceCount; ++piece)
      if (NeedsBytes(*map, piece) && !requested(piece)) return piece;
    return -1;
  };

  if (segment) {
    const int piece = firstNeeded(std::max(stats.currentPiece + 1, segment->current), segment->end);
    if (piece >= 0) {
      segment->current = piece;
      return piece;
    }
    // Past its end: done, unless pieces of it are still on their way.
    Segment* done = segment;
    done->finished = 1;
    done->restart = 0;
    for (int p = done->start; p <= done->end; ++p)
      if (map->IsWanted(p)) done->restart = 1;
    if (done->restart) {
      segments.Detach(*this);
    } else {
      segments.Drop(done);
    }
  }

  for (int tries = 0; tries < 3; ++tries) {
    if (!segments.Assign(*this, WallSeconds(), static_cast<uint32_t>(MonotonicSeconds()))) {
      if (work->HostComplete() || segments.HasUnfinished()) return -1;
      const int start = firstNeeded(0, static_cast<int>(map->pieceCount) - 1);
      if (start < 0) return -1;
      int end = start;
      while (end + 1 < map->pieceCount && NeedsBytes(*map, end + 1) && !requested(end + 1)) ++end;
      segments.AddFront(start, end, *this, WallSeconds());
      segment->current = start;
      return start;
    }
    if (segment->current > segment->start && map->IsWanted(segment->current - 1)) --segment->current;
    if (segment->restart) {
      segment->current = segment->start;
      segment->restart = 0;
    }
    const int piece = firstNeeded(segment->current, segment->end);
    if (piece >= 0) {
      segment->current = piece;
      stats.currentPiece = piece - 1;
      return piece;
    }
    segments.Drop(segment);
  }
  return -1;
}

void TPeerObject::ReleaseSegment() {
  if (!segment || !work) return;
  requests.clear();
  work->HostSegments().Detach(*this);
}

void TPeerObject::MarkNothingLeft() {
  if (work && work->HostPieces() && requests.empty()) phase = kPhaseNothingLeft;
}

}  // namespace pf
