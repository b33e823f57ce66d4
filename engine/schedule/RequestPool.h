#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <span>

#include "engine/base/Bitfield.h"
#include "engine/schedule/Segment.h"
#include "engine/schedule/BlockRequest.h"
#include "engine/content/BlockSize.h"

namespace pf {

// Blocks split off a chosen piece but not yet given to a BitTorrent peer.
// The deque itself belongs to the work (the peers reach it through their
// host); this class is the policy that hands it out and keeps it small.
class RequestPool {
 public:
  static constexpr int kDefaultTake = 16;

  RequestPool(std::deque<BlockRequest>& pool, const PieceStateView& pieces) : pool_(pool), pieces_(pieces) {}

  // Moves pooled requests of one piece into `queue` until it holds `count`
  // (kDefaultTake when <= 0). The piece is the first in pool order that the
  // peer has, does not lack and the map still wants; requests already in the
  // queue stay pooled. True when a piece was chosen and the queue is not empty.
  bool Take(std::deque<BlockRequest>& queue, BitfieldView peerHas, int count,
            BitfieldView peerLacks, uint32_t now);

  // Whether some connected peer has requests of the piece in its queue.
  using HeldByPeer = std::function<bool(int piece)>;
  // Drops the partial state of a piece nobody works on any more.
  using ReleasePiece = std::function<void(int piece)>;
  // Outside end game, a pool grown past Limit() is sorted by piece and loses
  // the pieces no peer works on (their partial state is released too). A
  // finished task keeps nothing pooled. Answers the requests removed.
  size_t Prune(bool endGame, const HeldByPeer& heldByPeer, const ReleasePiece& release);
  // Pooled requests tolerated before pruning: 64 pieces' worth plus 64.
  size_t Limit() const;

  int PieceOf(const BlockRequest& request) const;

 private:
  std::deque<BlockRequest>& pool_;
  const PieceStateView& pieces_;
};

}  // namespace pf
