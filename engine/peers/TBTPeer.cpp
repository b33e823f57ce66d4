#include "engine/peers/TBTPeer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/content/TPieces.h"
#include "engine/base/EngineSwitches.h"
#include "engine/content/BlockSize.h"
#include "engine/net/SourceGroup.h"

namespace pf {
namespace {

constexpr int64_t kConnectSeconds = 22;
constexpr int64_t kConnectSecondsOverUdp = 28;
constexpr int64_t kHandshakeSeconds = 12;
constexpr uint32_t kRefreshAfterSeconds = 8;
// Interested, then unchoke: every peer is unchoked at once.
constexpr char kInterestedAndUnchoke[10] = {0, 0, 0, 1, 2, 0, 0, 0, 1, 1};

// Where a requested block lies: its piece and its offset in the piece.
struct BlockPlace {
  int piece;
  int offset;
};
BlockPlace PlaceOf(const TPieces& map, int64_t block) {
  const int64_t at = block * kBlockSize;
  const auto piece = static_cast<int>(at / map.pieceLength);
  return {piece, static_cast<int>(at - map.PieceStart(piece))};
}

bool Contains(const std::deque<BlockRequest>& list, int64_t block) {
  return std::any_of(list.begin(), list.end(), [&](const BlockRequest& r) { return r.block == block; });
}


}  // namespace

TPeerObject* MakeBtPeer(PeerHost* host) { return new TBTPeer(host); }

uint32_t TBTPeer::PieceCount() const {
  const TPieces* map = work ? work->HostPieces() : nullptr;
  return map && map->pieceLength > 0 ? static_cast<uint32_t>(map->pieceCount) : 0;
}

bool TBTPeer::Has(int piece) const { return peerHas.Test(piece); }

bool TBTPeer::Lacks(int piece) const { return peerLacks.Test(piece); }

uint32_t TBTPeer::SendTarget() const {
  const int64_t rate = std::max<int64_t>(ReceiveRate(), lastSecondReceived_);
  return static_cast<uint32_t>(std::clamp<int64_t>(rate / kBlockSize + 2, 6, kMaxPipeline));
}

bool TBTPeer::SendBytes(const std::string& bytes) {
  if (bytes.empty()) return true;
  return connection && connection->Send(bytes.data(), static_cast<int>(bytes.size())) >= 0;
}

void TBTPeer::FlushBatch() {
  if (!batch_.Empty()) SendBytes(batch_.Take());
}

void TBTPeer::Reset() {
  ForgetEngaged();
  TPeerObject::Reset();
  sentCount = chokeStrikes = 0;
  receivingPiece = hasSomething = 0;
  handshakeOut = {};
  peerHas.Resize(0);
  peerLacks.Resize(0);
  flags = Flags();
  nothingWanted = 0;
  haveCount = piecesCount = piecesAtBitfield = 0;
  lastHave = -1;
  chokedSince = completeSince = nothingSince = 0;
  incoming.clear();
  sawPreamble = 0;
  errorCount = 0;
  preamble_ = BtPreambleReader();
  preambleDone_ = 0;
  connectedAt_ = lastRefresh_ = lastNothingAsk_ = 0;
  arrivingBytes_ = 0;
  unaskedBytes_ = 0;
  flushSkip_ = 0;
  batch_ = BtRequestBatch();
  rateSecond_ = 0;
  thisSecondReceived_ = lastSecondReceived_ = 0;
  thisSecondSent_ = lastSecondSent_ = 0;
}

void TBTPeer::ForgetEngaged() {
  if (work)
    for (int piece : engaged_) work->Engage(piece, false, false);
  engaged_.clear();
}

bool TBTPeer::AttachSource(TPeerId* source) {
  Reset();
  if (!TPeerObject::AttachSource(source)) return false;
  acceptedIncoming = 0;
  // Connections over the UDP layer (every third attempt, keyed by the
  // peer id) need that layer; without it every attempt goes over TCP.
  const bool overUdp = work->UdpConnectionsAllowed() && source->group <= kHighestUdpGroup && source->failures % 3 == 0;
  std::array<uint8_t, 8> key{};
  if (overUdp) {
    BtHash id{};
    std::memcpy(id.data(), source->peerId, id.size());
    key = BtUdpNodeKey(id, source->ip);
  }
  if (!connection->Connect(source->ip, static_cast<uint16_t>(source->port), false, nullptr, 0,
                           overUdp ? key.data() : nullptr))
    return false;
  linkState = kConnected;
  // Queued until the connection is made.
  return SendHandshake();
}

bool TBTPeer::AttachConnection(std::unique_ptr<QTcpSocket> accepted, bool preambleSeen) {
  if (!TPeerObject::AttachConnection(std::move(accepted), preambleSeen)) return false;
  sawPreamble = preambleSeen ? 1 : 0;
  preambleDone_ = 1;  // stripped before the connection reached the task
  connectedAt_ = WallSeconds();
  // A peer that called us gets a source of its own, so that the pool knows
  // its address and id like those of the peers we called.
  RefPtr<TPeerId> source = TPeerId::MakeBtNode(connection->remoteIp, connection->remotePort);
  source->group = kBitTorrentGroup;
  ++source->users;
  ++source->openConnections;
  sourceKey = source.get();
  peerSource = std::move(source);
  return SendHandshake();
}

bool TBTPeer::SendHandshake() {
  const BtHandshakeBytes* own = work ? work->OwnHandshake() : nullptr;
  if (!own || !connection || !peerSource) return false;
  handshakeOut = *own;
  std::string out;
  if (acceptedIncoming) {
    if (sawPreamble) out = BuildBtReplyPreamble(WallSeconds());
  } else if (BtSendsRequestPreamble(Switches().httpPreamble != 0, connection->overUdp != 0, peerSource->failures)) {
    out = BuildBtRequestPreamble(peerSource->ip, static_cast<uint16_t>(peerSource->port), peerSource->failures);
  }
  out.append(reinterpret_cast<const char*>(handshakeOut.data()), handshakeOut.size());
  return SendBytes(out);
}

bool TBTPeer::Process() {
  if (!connection || !connection->IsOpen()) return false;
  const int64_t now = WallSeconds();
  if (!connection->connected) {
    // Pushing the queued handshake completes the connect once it is made.
    if (connection->Send(nullptr, 0) < 0) return false;
    if (!connection->connected)
      return now - attachedAt <= (connection->overUdp ? kConnectSecondsOverUdp : kConnectSeconds);
  }
  // (Sending the handshake may have completed the connect already.)
  if (connectedAt_ == 0) connectedAt_ = now;
  if (now != rateSecond_) {
    lastSecondReceived_ = now == rateSecond_ + 1 ? thisSecondReceived_ : 0;
    lastSecondSent_ = now == rateSecond_ + 1 ? thisSecondSent_ : 0;
    thisSecondReceived_ = thisSecondSent_ = 0;
    rateSecond_ = now;
  }
  if (!Ready()) return ReadHandshake();

  int64_t budget = work->ReceiveAllowance();
  if (budget <= 0) return true;
  const int64_t rate = std::max<int64_t>(ReceiveRate(), lastSecondReceived_);
  int size = 2048;
  if (flags.peerUnchoked && sentCount > 0)
    size = rate > 262144 ? 65536 + 1024 : (rate > 65536 ? 32768 + 1024 : 16384 + 1024);
  size = static_cast<int>(std::max<int64_t>(std::min<int64_t>(size, budget), 192));
  const bool wasUnchoked = flags.peerUnchoked != 0;
  int64_t readTotal = 0;
  for (;;) {
    const uint64_t before = connection->bytesReceived;
    const int held = connection->Receive(size);
    const auto got = static_cast<int64_t>(connection->bytesReceived - before);
    readTotal += got;
    thisSecondReceived_ += got;
    if (connection->ReceivedCount() > 0 && ParseMessages() == Parsed::kFail) return false;
    if (held < 0) return false;
    // A read that filled what was asked finds more waiting: read on, larger.
    if (got < size || readTotal >= kMaxReadPerTick || !IsConnected()) break;
    budget -= got;
    size = static_cast<int>(std::min<int64_t>({int64_t{size} * 2, 1 << 20, budget}));
    if (size < 192) break;
  }
  if (wasUnchoked != (flags.peerUnchoked != 0)) OnChokeChanged(wasUnchoked);
  return IsConnected();
}

bool TBTPeer::ReadHandshake() {
  const int64_t now = WallSeconds();
  const int held = connection->Receive(2048);
  if (held < 0 && connection->ReceivedCount() == 0) return false;
  if (!preambleDone_) {
    // Peers we called may answer our request line with a status line first.
    const BtPreambleReader::Step step = preamble_.Read(
        std::span<const uint8_t>(connection->ReceivedData(), static_cast<size_t>(connection->ReceivedCount())));
    connection->Consume(static_cast<int>(step.consumed));
    if (step.status == BtPreambleReader::Status::kMalformed) return false;
    if (step.status == BtPreambleReader::Status::kNeedMore) return held >= 0 && now - connectedAt_ <= kHandshakeSeconds;
    preambleDone_ = 1;
    if (preamble_.Seen()) sawPreamble = 1;
  }
  const BtHandshakeBytes& own = handshakeOut;
  BtHash infoHash{}, ownId{};
  std::copy_n(own.begin() + kBtHandshakeInfoHashAt, infoHash.size(), infoHash.begin());
  std::copy_n(own.begin() + kBtHandshakePeerIdAt, ownId.size(), ownId.begin());
  const BtHandshakeResult result = CheckBtHandshake(
      std::span<const uint8_t>(connection->ReceivedData(), static_cast<size_t>(connection->ReceivedCount())),
      infoHash, ownId);
  if (result.status == BtHandshakeStatus::kNeedMore) return held >= 0 && now - connectedAt_ <= kHandshakeSeconds;
  if (result.status != BtHandshakeStatus::kValid) {
    linkState = kUnlinked;
    connection->Close();
    return false;
  }
  if (!AcceptHandshake(result.peerId)) return false;
  // Messages may have come with the handshake.
  if (connection->ReceivedCount() > 0 && ParseMessages() == Parsed::kFail) return false;
  return held >= 0 && IsConnected();
}

bool TBTPeer::AcceptHandshake(const BtHash& peerId) {
  const uint32_t ip = connection->remoteIp;
  if (!work->AcceptBtPeer(*this, peerId, ip)) {
    linkState = kUnlinked;
    connection->Close();
    return false;
  }
  std::memcpy(peerSource->peerId, peerId.data(), peerId.size());
  work->NoteHandshake(ip);
  connection->Consume(static_cast<int>(kBtHandshakeSize));
  linkState = kReady;
  const uint32_t count = PieceCount();
  peerHas.Resize(0);
  peerHas.Resize(count);
  peerLacks.Resize(0);
  peerLacks.Resize(count);
  haveCount = piecesCount = piecesAtBitfield = 0;
  chokedSince = WallSeconds();
  phase = kPhaseChoked;
  flags.peerUnchoked = 0;
  std::string out;
  const BitfieldView held = work->HeldBits();
  if (held.Any()) AppendBtBitfield(out, held.Bytes());
  out.append(kInterestedAndUnchoke, sizeof kInterestedAndUnchoke);
  return SendBytes(out);
}

TBTPeer::Parsed TBTPeer::ParseMessages() {
  const uint8_t* data = connection->ReceivedData();
  const auto available = static_cast<size_t>(connection->ReceivedCount());
  const uint32_t count = PieceCount();
  size_t used = 0;
  Parsed outcome = Parsed::kOk;
  while (used < available) {
    const BtReadResult r = ReadBtMessage(std::span<const uint8_t>(data + used, available - used), count);
    if (r.status == BtReadStatus::kNeedMore) break;
    if (r.status == BtReadStatus::kPieceArriving) {
      receivingPiece = 1;
      // A block arriving slowly is not given up on while it comes.
      const int arrived = static_cast<int>(r.message.data.size());
      if (arrived - arrivingBytes_ > 1024) {
        arrivingBytes_ = arrived;
        TPieces* map = work->HostPieces();
        if (map && map->pieceLength > 0) {
          const int64_t block = (int64_t{r.message.index} * map->pieceLength + r.message.begin) / kBlockSize;
          for (BlockRequest& q : requests)
            if (q.block == block) q.requestedAt = MonotonicSeconds();
        }
      }
      break;
    }
    if (r.status == BtReadStatus::kMalformed) {
      // The peer is at fault but may stay; the rest waits for the next tick.
      ++errorCount;
      used += r.size;
      break;
    }
    if (r.Fatal()) {
      outcome = Parsed::kFail;
      break;
    }
    if (!HandleMessage(r.message)) {
      outcome = Parsed::kFail;
      break;
    }
    used += r.size;
    if (!IsConnected()) break;
  }
  if (connection->IsOpen()) connection->Consume(static_cast<int>(used));
  return outcome;
}

bool TBTPeer::HandleMessage(const BtMessage& message) {
  TPieces* map = work->HostPieces();
  const uint32_t count = PieceCount();
  switch (message.kind) {
    case BtMessageKind::kChoke:
    case BtMessageKind::kUnchoke: {
      flags.peerUnchoked = message.kind == BtMessageKind::kUnchoke ? 1 : 0;
      phase = (!flags.peerUnchoked || flags.weChoke) ? kPhaseChoked : kPhaseExchange;
      if (!flags.peerUnchoked) {
        if (chokedSince == 0) chokedSince = WallSeconds();
      } else {
        chokedSince = 0;
      }
      return true;
    }
    case BtMessageKind::kHave: {
      const auto piece = static_cast<int>(message.index);
      if (message.index >= count) {
        ++errorCount;
        return true;
      }
      peerLacks.Set(piece, false);
      if (!Has(piece)) {
        peerHas.Set(piece, true);
        ++haveCount;
        ++piecesCount;
        if (piecesCount >= count) HasEverything();
      }
      hasSomething = 1;
      if (map && map->IsWanted(piece) && !map->IsHeld(piece)) {
        nothingWanted = 0;
        nothingSince = 0;
      }
      lastHave = piece;
      return true;
    }
    case BtMessageKind::kBitfield: {
      if (count == 0) return true;
      peerHas.Assign(message.data, count);
      const auto bits = static_cast<uint32_t>(peerHas.Count());
      piecesCount = piecesAtBitfield = bits;
      nothingWanted = bits == 0 ? 1 : 0;
      hasSomething = bits > 0 ? 1 : 0;
      if (bits >= count) HasEverything();
      return true;
    }
    case BtMessageKind::kRequest: {
      if (flags.weChoke || !map || message.index >= count || !map->IsHeld(message.index)) return true;
      const TPiece* piece = map->Piece(message.index);
      if (!piece || message.length == 0 || message.length > kMaxBtBlock ||
          int64_t{message.begin} + message.length > piece->size)
        return true;
      const bool queued = std::any_of(incoming.begin(), incoming.end(), [&](const Incoming& q) {
        return q.index == message.index && q.begin == message.begin && q.length == message.length;
      });
      if (!queued && incoming.size() < kMaxIncoming) incoming.push_back({message.index, message.begin, message.length});
      return true;
    }
    case BtMessageKind::kCancel: {
      auto it = std::find_if(incoming.begin(), incoming.end(), [&](const Incoming& q) {
        return q.index == message.index && q.begin == message.begin && q.length == message.length;
      });
      if (it != incoming.end()) incoming.erase(it);
      return true;
    }
    case BtMessageKind::kPiece:
      return HandleBlock(message);
    case BtMessageKind::kUnavailable: {
      // The peer could not read that piece: ask others for it.
      if (message.index >= count || !map) return true;
      peerLacks.Set(message.index, true);
      HandBackRequests(false, static_cast<int>(message.index));
      return true;
    }
    default:
      return true;  // keep-alive, interest and unknown messages
  }
}

bool TBTPeer::HandleBlock(const BtMessage& message) {
  receivingPiece = 0;
  arrivingBytes_ = 0;
  TPieces* map = work->HostPieces();
  if (!map || map->pieceLength <= 0) return true;
  const auto length = static_cast<int>(message.data.size());
  const int64_t at = int64_t{message.index} * map->pieceLength + message.begin;
  const int64_t block = at / kBlockSize;
  auto mine = std::find_if(requests.begin(), requests.end(),
                           [&](const BlockRequest& r) { return r.block == block && r.length == length; });
  const bool asked = message.index < PieceCount() && at % kBlockSize == 0 &&
                     (mine != requests.end() ||
                      std::any_of(work->SharedRequests().begin(), work->SharedRequests().end(),
                                  [&](const BlockRequest& r) { return r.block == block && r.length == length; }));
  if (!asked) {
    // Late answers to cancelled requests are normal; a stream of blocks
    // nobody asked for is not.
    work->OnWasted(length);
    unaskedBytes_ += length;
    return unaskedBytes_ <= kMaxUnaskedBytes;
  }
  if (mine != requests.end() && static_cast<uint32_t>(mine - requests.begin()) < sentCount) --sentCount;
  return OnBlock(block, length, message.data.data());
}

void TBTPeer::OnChokeChanged(bool wasUnchoked) {
  if (wasUnchoked && !flags.peerUnchoked) {
    if (!requests.empty()) HandBackRequests(true);
    return;
  }
  chokeStrikes = 0;
  receivingPiece = 0;
  SendRequests(SendTarget());
}

void TBTPeer::HandBackRequests(bool cancelSent, int piece) {
  TPieces* map = work->HostPieces();
  if (!map || map->pieceLength <= 0) return;
  std::string cancels;
  auto& shared = work->SharedRequests();
  std::deque<BlockRequest> kept;
  uint32_t sentKept = 0;
  for (size_t i = 0; i < requests.size(); ++i) {
    const BlockRequest& r = requests[i];
    const bool sent = i < sentCount;
    const BlockPlace place = PlaceOf(*map, r.block);
    if (piece >= 0 && place.piece != piece) {
      kept.push_back(r);
      sentKept += sent ? 1 : 0;
      continue;
    }
    if (cancelSent && sent)
      AppendBtCancel(cancels, static_cast<uint32_t>(place.piece), static_cast<uint32_t>(place.offset),
                     static_cast<uint32_t>(r.length));
    if (!Contains(shared, r.block)) shared.push_back(r);
  }
  requests.swap(kept);
  sentCount = sentKept;
  SendBytes(cancels);
}

void TBTPeer::SendRequests(uint32_t limit) {
  TPieces* map = work->HostPieces();
  if (!Ready() || !flags.peerUnchoked || flags.hold || !map || map->pieceLength <= 0) return;
  const bool endPhase = work->InEndPhase();
  const uint32_t now = MonotonicSeconds();
  while (sentCount < requests.size() && sentCount < limit) {
    BlockRequest& r = requests[sentCount];
    const auto [piece, offset] = PlaceOf(*map, r.block);
    const TPiece* p = map->Piece(piece);
    const bool invalid = !p || r.length <= 0 || offset + r.length > p->size;
    if (invalid || (endPhase && (map->IsHeld(piece) || p->HasUnit(offset)))) {
      requests.erase(requests.begin() + sentCount);
      continue;
    }
    r.requestedAt = now;
    if (batch_.Add(static_cast<uint32_t>(piece), static_cast<uint32_t>(offset), static_cast<uint32_t>(r.length)))
      FlushBatch();
    ++sentCount;
  }
  FlushBatch();
}

bool TBTPeer::ExtraStep() {
  if (flags.hold || !flags.peerUnchoked || !Ready() || sentCount >= requests.size() || PieceCount() == 0) return true;
  const int64_t rate = std::max<int64_t>(ReceiveRate(), lastSecondReceived_);
  const auto enough = static_cast<uint32_t>(std::clamp<int64_t>(rate / kBlockSize - 1, 5, kMaxPipeline - 3));
  if (sentCount >= enough) return true;
  SendRequests(SendTarget());
  return IsConnected();
}

bool TBTPeer::PieceRequested(int piece) const {
  const TPieces* map = work->HostPieces();
  const int64_t first = map->PieceStart(piece) / kBlockSize;
  const int64_t last = (map->PieceStart(piece) + map->Piece(piece)->size - 1) / kBlockSize;
  auto inPiece = [&](const BlockRequest& r) { return r.block >= first && r.block <= last; };
  const auto& shared = work->SharedRequests();
  return std::any_of(requests.begin(), requests.end(), inPiece) || std::any_of(shared.begin(), shared.end(), inPiece);
}

bool TBTPeer::QueueBlocks(int piece, size_t keep) {
  TPieces* map = work->HostPieces();
  const TPiece* p = map->Piece(piece);
  if (!p || p->complete) return false;
  auto& shared = work->SharedRequests();
  const int64_t base = map->PieceStart(piece);
  const uint32_t now = MonotonicSeconds();
  bool added = false;
  for (int offset = p->flushed / kBlockSize * kBlockSize; offset < p->size; offset += kBlockSize) {
    if (p->HasUnit(offset)) continue;
    const int64_t block = (base + offset) / kBlockSize;
    if (Contains(requests, block) || Contains(shared, block)) continue;
    const BlockRequest r{block, std::min(kBlockSize, p->size - offset), now};
    if (requests.size() < keep) requests.push_back(r);
    else shared.push_back(r);
    added = true;
  }
  stats.currentPiece = piece;
  return added;
}

int TBTPeer::NextPiece() {
  TPieces* map = work ? work->HostPieces() : nullptr;
  const auto count = static_cast<int>(PieceCount());
  if (!map || count <= 0 || !Switches().p2pEnabled) return -1;
  const int start = std::max(work->PieceHint(), 0) % count;
  for (int i = 0; i < count; ++i) {
    const int piece = (start + i) % count;
    if (!Has(piece) || Lacks(piece) || !map->IsWanted(piece) || map->IsHeld(piece)) continue;
    const TPiece* p = map->Piece(piece);
    if (!p || p->complete || p->hashing) continue;
    if (engaged_.count(piece)) {
      // Ours already: taken again once nobody has its blocks queued.
      if (PieceRequested(piece)) continue;
    } else {
      if (!work->Engage(piece, true, false)) continue;
      engaged_.insert(piece);
    }
    nothingWanted = 0;
    nothingSince = 0;
    return piece;
  }
  nothingWanted = 1;
  if (nothingSince == 0) nothingSince = WallSeconds();
  return -1;
}

bool TBTPeer::FillRequests() {
  if (!IsConnected()) return false;
  TPieces* map = work->HostPieces();
  if (!Ready() || flags.hold || !map || PieceCount() == 0) return true;
  const int64_t now = WallSeconds();
  if (now != lastRefresh_) {
    lastRefresh_ = now;
    RefreshRequests();
  }
  if (work->HostComplete()) {
    if (!requests.empty()) HandBackRequests(true);
    return IsConnected();
  }
  const int64_t rate = std::max<int64_t>(ReceiveRate(), lastSecondReceived_);
  const auto want = static_cast<size_t>(std::clamp<int64_t>(2 * rate / kBlockSize, 2, 2 * kMaxPipeline));
  const size_t keep = std::max<size_t>(want, SendTarget());
  const bool asked = !nothingWanted || now - lastNothingAsk_ >= 60;
  if (asked && requests.size() < want && hasSomething) {
    if (nothingWanted) lastNothingAsk_ = now;
    work->RefreshEndGame();
    work->TakePooled(requests, peerHas, static_cast<int>(keep), peerLacks);
    bool found = false;
    for (int tries = 0; tries < 3 && requests.size() < keep; ++tries) {
      const int piece = NextPiece();
      if (piece < 0) break;
      found = true;
      // A piece all of whose blocks are asked for already is not offered again.
      if (!QueueBlocks(piece, keep)) peerLacks.Set(piece, true);
    }
    if (!found && requests.empty()) peerLacks.SetAll(false);
  }
  if (sentCount == 0 && !requests.empty()) SendRequests(SendTarget());
  return ExtraStep() && IsConnected();
}

void TBTPeer::RefreshRequests() {
  TPieces* map = work->HostPieces();
  if (!map || map->pieceLength <= 0 || requests.empty()) return;
  int mark = 0;
  while (mark < map->pieceCount && map->IsHeld(mark)) ++mark;
  const int window = map->pieceLength > 0 ? std::max<int>((8 << 20) / map->pieceLength, 1) : 40;
  const uint32_t now = MonotonicSeconds();
  auto& shared = work->SharedRequests();
  std::string cancels;
  std::deque<BlockRequest> kept;
  uint32_t sentKept = 0;
  for (size_t i = 0; i < requests.size(); ++i) {
    BlockRequest r = requests[i];
    const bool sent = i < sentCount;
    const auto [piece, offset] = PlaceOf(*map, r.block);
    const TPiece* p = map->Piece(piece);
    if (!p || map->IsHeld(piece) || p->HasUnit(offset)) {
      if (sent) AppendBtCancel(cancels, static_cast<uint32_t>(piece), static_cast<uint32_t>(offset),
                               static_cast<uint32_t>(r.length));
      continue;
    }
    if (sent && piece >= mark && piece < mark + window && now - r.requestedAt > kRefreshAfterSeconds) {
      r.requestedAt = now;
      if (!Contains(shared, r.block)) shared.push_back(r);
    }
    kept.push_back(r);
    if (sent) ++sentKept;
  }
  requests.swap(kept);
  sentCount = sentKept;
  SendBytes(cancels);
}

bool TBTPeer::Serve() {
  TPieces* map = work->HostPieces();
  if (!IsConnected() || !Ready() || flags.weChoke || incoming.empty() || !map || map->pieceLength <= 0) return true;
  if (connection->QueuedCount() > 0) return true;
  const int64_t budget = work->SendAllowance();
  if (budget <= 0) return true;
  const int64_t sendRate = std::max<int64_t>(tick.sendRate, lastSecondSent_);
  int64_t perTick = sendRate > 131071 ? (sendRate / 65536 - 1) * kBlockSize : kBlockSize;
  if (work->HostComplete()) perTick += kBlockSize;
  // Within the send queue's bound, whatever the rate says.
  perTick = std::min<int64_t>({perTick, budget, QTcpSocket::kMaxSendQueue / 2});
  // Written in place at the end of the send queue: one copy from the files.
  const size_t room = static_cast<size_t>(perTick + kMaxBtBlock + 64);
  uint8_t* out = connection->SendSpace(static_cast<int>(room));
  if (!out) return true;
  int64_t total = 0;
  size_t used = 0;
  std::string unavailable;
  while (!incoming.empty() && total < perTick) {
    const Incoming q = incoming.front();
    // Message heads count too: many tiny requests must not overrun the room.
    if (used + kBtPieceHeadSize + q.length > room) break;
    incoming.pop_front();
    TPiece* piece = map->Piece(q.index);
    if (!piece || !map->IsHeld(q.index) || q.length > static_cast<uint32_t>(map->pieceLength) ||
        int64_t{q.begin} + q.length > piece->size)
      continue;
    uint8_t* head = out + used;
    WriteBtPieceHead(head, q.index, q.begin, q.length);
    const int read =
        piece->ReadHeld(head + kBtPieceHeadSize, static_cast<int>(q.length), static_cast<int>(q.begin));
    if (read == static_cast<int>(q.length)) {
      used += kBtPieceHeadSize + q.length;
      total += q.length;
      continue;
    }
    // Told instead of the block; the peer asks someone else for that piece.
    AppendBtUnavailable(unavailable, q.index);
    incoming.erase(std::remove_if(incoming.begin(), incoming.end(), [&](const Incoming& r) { return r.index == q.index; }),
                   incoming.end());
  }
  thisSecondSent_ += total;
  return connection->CommitSend(static_cast<int>(used)) >= 0 && SendBytes(unavailable);
}

bool TBTPeer::AfterTick() {
  if (!IsConnected()) return false;
  FlushBatch();
  if (connection->QueuedCount() == 0) return IsConnected();
  // Slow peers with a backlog are pushed every other tick.
  if (tick.sendRate < kSlowSpeed && connection->QueuedCount() > 1024 && (++flushSkip_ & 1)) return true;
  if (work->SendAllowance() < 1024 && Ready()) return true;
  return connection->Send(nullptr, 0) >= 0;
}

void TBTPeer::SendHaves(const std::string& batch) {
  if (Ready() && IsConnected()) SendBytes(batch);
}

bool TBTPeer::IsDone() {
  if (!Switches().p2pEnabled) return true;
  const int64_t age = WallSeconds() - attachedAt;
  if (age < 120) return false;
  if (work->HostComplete()) return tick.sendRate == 0 && tick.totalSent / age <= 18;
  return tick.receiveRate == 0 && tick.totalReceived / age <= 18;
}

bool TBTPeer::HasEverything() {
  const uint32_t count = PieceCount();
  if (count == 0 || piecesCount < count) return false;
  if (completeSince == 0) completeSince = WallSeconds();
  return true;
}

bool TBTPeer::IsUnwanted() {
  // A seeding task wants nothing: its peers are there to take.
  if (work->HostComplete() || !nothingWanted || nothingSince == 0) return false;
  return WallSeconds() - nothingSince > 90;
}

bool TBTPeer::IsIdleTooLong() { return HasEverything() && WallSeconds() - completeSince > 15; }

int TBTPeer::PeerRate() {
  const TPieces* map = work->HostPieces();
  if (haveCount <= 4 || !map) return 0;
  const int64_t age = std::max<int64_t>(WallSeconds() - attachedAt, 1);
  const int64_t gained = int64_t{piecesCount} - piecesAtBitfield;
  return static_cast<int>(std::max<int64_t>(gained, 0) * map->pieceLength / 1024 / age);
}

bool TBTPeer::MayBeDropped(bool nearlyDone) {
  // A peer feeding us stays; near the end, so does one that has what we miss.
  if (flags.peerUnchoked && tick.receiveRate > 0) return false;
  return !(nearlyDone && hasSomething && !nothingWanted);
}

}  // namespace pf
