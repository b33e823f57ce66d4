#include "engine/task/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/base/ScopedLock.h"
#include "engine/base/EngineClock.h"

namespace pf {

int32_t TWorkWithPieces::CopyPublishedBitmap(uint8_t* buffer, int32_t length) {
  if (!buffer || length <= 0) return 0;
  ScopedLock lock(&mutex);
  const std::span<const uint8_t> bytes = publishedBitmap.Bytes();
  const auto size = static_cast<int32_t>(bytes.size());
  if (size > 0) std::memcpy(buffer, bytes.data(), static_cast<size_t>(std::min(length, size)));
  return static_cast<int32_t>(std::min<int64_t>(int64_t{size} * 8, publishedBitmap.Size()));
}

bool TWorkWithPieces::InProgress(int piece) const {
  const TPiece* p = pieces ? pieces->Piece(piece) : nullptr;
  return p && !pieces->IsHeld(piece) && (p->BufferedBytes() > 0 || p->flushed > 0 || p->complete);
}

void TWorkWithPieces::LayOutSegments(int64_t now) {
  if (!HasPieces() || !segments.Empty()) return;
  std::vector<SegmentList::ServerSource> servers;
  for (auto& candidate : candidates)
    if ((candidate->kind & kServerKinds) && !candidate->wholeContent) servers.push_back({candidate.get(), &candidate->allowance});
  segments.LayOut(servers, now);
}

bool TWorkWithPieces::TakePooledRequests(std::deque<BlockRequest>& queue, BitfieldView peerHas,
                                         int count, BitfieldView peerLacks) {
  if (!pieces) return false;
  return requestPool.Take(queue, peerHas, count, peerLacks, MonotonicSeconds());
}

bool TWorkWithPieces::EngagePiece(int piece, bool add, bool all) {
  if (add) {
    const auto peers = std::count_if(connections.begin(), connections.end(),
                                     [](const auto& c) { return c && c->kind == kBtNode; });
    return engaged.Add(piece, static_cast<int>(peers));
  }
  if (!all) return engaged.RemoveOne(piece);
  if (engaged.MayDropBuffer() && !StopRequested() && pieces && !pieces->IsHeld(piece)) {
    // Only bytes of an unfinished piece go; a whole piece waiting for its
    // check or its write is kept.
    TPiece* p = pieces->Piece(piece);
    if (p && !p->complete && !p->hashing) p->Reset();
  }
  return engaged.RemoveAll(piece);
}

int TWorkWithPieces::StartPieceHint() const {
  return pf::StartPieceHint(config.randomPieceStart != 0, PieceCount(), FinishedPieces(), TickMs());
}

void TWorkWithPieces::OnPieceHeld(int piece, bool held) {
  // Pieces found during the start-up check are announced by the bitfield.
  if (!held || !pieces || pieces->checkedBytes < pieces->totalLength) return;
  engaged.RemoveAll(piece);
  haveQueue.Add(piece);
}

void TWorkWithPieces::AnnounceHeldPieces(uint32_t now) {
  for (const std::string& batch : haveQueue.TakeDue(now)) SendHaveBatch(batch);
}

void TWorkWithPieces::PruneRequestPool() {
  // Gathered once, and only when the pool is big enough to be pruned.
  std::unordered_set<int> worked;
  bool gathered = false;
  auto heldByPeer = [&](int piece) {
    if (!gathered) {
      for (const auto& connection : connections)
        if (connection)
          for (const BlockRequest& r : connection->requests) worked.insert(requestPool.PieceOf(r));
      gathered = true;
    }
    return worked.count(piece) != 0;
  };
  auto release = [this](int piece) {
    TPiece* p = pieces ? pieces->Piece(piece) : nullptr;
    if (p && !pieces->IsHeld(piece) && !p->complete && !p->hashing) p->Release();
  };
  requestPool.Prune(EndGame(), heldByPeer, release);
}

void TWorkWithPieces::ClearBlockScheduling(bool all) {
  sharedRequests.clear();
  engaged.Clear();
  engaged.ResetEndGame();
  if (all) haveQueue.Clear();
}

void TWorkWithPieces::SizeBitmap(int pieces) {
  heldBitmap.Resize(0);
  heldBitmap.Resize(pieces);
  bitmapChanged = true;
}

void TWorkWithPieces::PublishBitmap() {
  publishedBitmap = heldBitmap;
  publishedBitmapSize = static_cast<int32_t>(publishedBitmap.Bytes().size());
  bitmapChanged = false;
}

}  // namespace pf
