#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"
#include <deque>

#include "engine/schedule/EngagedPieces.h"
#include "engine/schedule/HaveQueue.h"
#include "engine/schedule/RequestPool.h"
#include "engine/schedule/SegmentList.h"
#include "engine/task/TWorkWithPeers.h"

namespace pf {

// Third layer of the work object: the piece map, the torrent, the
// held-pieces bitmap (BitTorrent bit order) with its published copy, and the
// block scheduling of BitTorrent peers (request pool, engaged pieces, end
// game, have announcements).
class TWorkWithPieces : public TWorkWithPeers, public PieceStateView {
 public:
  // The piece map as the segment list sees it.
  bool IsWanted(int piece) const override { return pieces && pieces->IsWanted(piece); }
  bool InProgress(int piece) const override;
  int PieceLength() const override { return pieces ? pieces->pieceLength : 0; }
  int PieceCount() const override { return pieces ? static_cast<int>(pieces->pieceCount) : 0; }
  int FinishedPieces() const override { return pieces ? pieces->finishedPieces : 0; }

  // Length in bytes of the published bitmap; readable without the task lock.
  int32_t PublishedBitmapSize() const { return publishedBitmapSize.load(); }
  // Copies min(length, size) bytes of the published bitmap; answers
  // min(size * 8, published piece count). Takes the task lock.
  int32_t CopyPublishedBitmap(uint8_t* buffer, int32_t length);

  // A piece map with at least one piece exists.
  bool HasPieces() const { return pieces && pieces->pieceCount > 0; }
  TPieces* Pieces() const { return pieces.get(); }

  // Block scheduling, asked by BitTorrent peers inside the tick.
  // At most two pieces left to finish.
  bool IsLastPieces() const { return engaged.IsLastPieces(); }
  // Re-evaluates end game (every unfinished piece has a peer on it); peers
  // call it before choosing pieces.
  bool UpdateEndGame() { return engaged.UpdateEndGame(); }
  bool EndGame() const { return engaged.EndGame(); }
  bool EndGameSeen() const { return engaged.EndGameSeen(); }
  // Moves pooled requests of one piece the peer has into its queue, until it
  // holds `count` (16 when <= 0).
  bool TakePooledRequests(std::deque<BlockRequest>& queue, BitfieldView peerHas, int count,
                          BitfieldView peerLacks);
  // add: one more peer on the piece, within the engaged limit. Otherwise one
  // entry (all = false) or every entry (all = true) goes; giving a piece up
  // entirely also drops its unfinished buffer unless end game still needs it.
  bool EngagePiece(int piece, bool add, bool all);
  // Where a BitTorrent peer starts looking for a piece.
  int StartPieceHint() const;

  // Event 1 of the piece map, after the bitmap bit was set or cleared: a
  // piece that became held once the start-up check is over leaves the
  // engaged list and is queued for announcement.
  void OnPieceHeld(int piece, bool held);
  // From the per-second accounting: sends the due have batches to the
  // BitTorrent connections (SendHaveBatch).
  void AnnounceHeldPieces(uint32_t now);
  // Every 32 seconds: drops pooled pieces no connected peer works on.
  void PruneRequestPool();
  // Empties the pool and the engaged list and ends end game (Reset); `all`
  // also forgets the pieces waiting to be announced.
  void ClearBlockScheduling(bool all);

 protected:
  // Sizes the live bitmap for `pieces` pieces, all clear.
  void SizeBitmap(int pieces);
  // Copies the live bitmap to the published one; call under the task lock.
  void PublishBitmap();

  // Lays the server segments out once a map and server candidates exist.
  void LayOutSegments(int64_t now);

  // One batch of 9-byte have messages for every live BitTorrent connection.
  // Nothing to do until BitTorrent connections exist; their work overrides it.
  virtual void SendHaveBatch(const std::string& batch) { (void)batch; }

  // Work thread alone (callers reach the map only through the published
  // figures and bitmap, and ReadRequests).
  RefPtr<TPieces> pieces;
  SegmentList segments{*this};
  std::deque<BlockRequest> sharedRequests;
  RequestPool requestPool{sharedRequests, *this};
  EngagedPieces engaged{*this};
  HaveQueue haveQueue;
  std::unique_ptr<TTorrent> torrentReader;
  Bitfield heldBitmap;
  bool bitmapChanged = false;

 private:
  // Task lock; the size is also readable without it.
  Bitfield publishedBitmap;
  std::atomic<int32_t> publishedBitmapSize{0};
};

}  // namespace pf
