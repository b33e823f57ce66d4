#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include <memory>

#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"
#include <deque>

#include "engine/core/SegmentList.h"
#include "engine/core/TWorkWithPeers.h"

namespace pf {

// Third layer of the work object: the piece map, the torrent and the
// held-pieces bitmap (BitTorrent bit order) with its published copy.
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

 protected:
  // Sizes the live bitmap for `pieces` pieces, all clear.
  void SizeBitmap(int pieces);
  // Copies the live bitmap to the published one; call under the task lock.
  void PublishBitmap();

  // Lays the server segments out once a map and server candidates exist.
  void LayOutSegments(int64_t now);

  RefPtr<TPieces> pieces;
  SegmentList segments{*this};
  std::deque<BlockRequest> sharedRequests;
  std::unique_ptr<TTorrent> torrentReader;
  std::vector<uint8_t> heldBitmap;
  int heldPieceCount = 0;
  bool bitmapChanged = false;

 private:
  std::vector<uint8_t> publishedBitmap;
  int publishedPieceCount = 0;
  std::atomic<int32_t> publishedBitmapSize{0};
};

}  // namespace pf
