#include "engine/schedule/RequestPool.h"

#include <algorithm>

namespace pf {

int RequestPool::PieceOf(const BlockRequest& request) const {
  const int length = pieces_.PieceLength();
  return length > 0 ? static_cast<int>(request.block * kBlockSize / length) : -1;
}

size_t RequestPool::Limit() const { return static_cast<size_t>(pieces_.PieceLength() / kBlockSize) * 64 + 64; }

bool RequestPool::Take(std::deque<BlockRequest>& queue, BitfieldView peerHas, int count,
                       BitfieldView peerLacks, uint32_t now) {
  if (count <= 0) count = kDefaultTake;
  if (pieces_.PieceLength() <= 0) return false;
  auto eligible = [&](int piece) {
    return peerHas.Test(piece) && !peerLacks.Test(piece) && pieces_.IsWanted(piece);
  };
  auto chosen = std::find_if(pool_.begin(), pool_.end(), [&](const BlockRequest& r) { return eligible(PieceOf(r)); });
  if (chosen == pool_.end()) return false;
  const int piece = PieceOf(*chosen);

  auto queued = [&](const BlockRequest& r) {
    return std::any_of(queue.begin(), queue.end(), [&](const BlockRequest& q) { return q.block == r.block; });
  };
  for (auto it = chosen; it != pool_.end() && queue.size() < static_cast<size_t>(count);) {
    if (PieceOf(*it) != piece || queued(*it)) {
      ++it;
      continue;
    }
    BlockRequest moved = *it;
    moved.requestedAt = now;
    queue.push_back(moved);
    it = pool_.erase(it);
  }
  return !queue.empty();
}

size_t RequestPool::Prune(bool endGame, const HeldByPeer& heldByPeer, const ReleasePiece& release) {
  const size_t before = pool_.size();
  const int pieceCount = pieces_.PieceCount();
  // Checked before the end-game test: a finished task is always in end game.
  if (pieceCount > 0 && pieces_.FinishedPieces() >= pieceCount) {
    pool_.clear();
    return before;
  }
  if (endGame || before <= Limit() || pieces_.PieceLength() <= 0) return 0;

  std::stable_sort(pool_.begin(), pool_.end(),
                   [this](const BlockRequest& a, const BlockRequest& b) { return PieceOf(a) < PieceOf(b); });
  std::deque<BlockRequest> kept;
  for (auto run = pool_.begin(); run != pool_.end();) {
    const int piece = PieceOf(*run);
    auto next = std::find_if(run, pool_.end(), [&](const BlockRequest& r) { return PieceOf(r) != piece; });
    if (heldByPeer && heldByPeer(piece)) {
      kept.insert(kept.end(), run, next);
    } else if (release) {
      release(piece);
    }
    run = next;
  }
  pool_.swap(kept);
  return before - pool_.size();
}

}  // namespace pf
