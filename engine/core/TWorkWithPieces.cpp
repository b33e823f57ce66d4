#include "engine/core/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>

#include "engine/core/ScopedLock.h"

namespace pf {

int32_t TWorkWithPieces::CopyPublishedBitmap(uint8_t* buffer, int32_t length) {
  if (!buffer || length <= 0) return 0;
  ScopedLock lock(&mutex);
  const auto size = static_cast<int32_t>(publishedBitmap.size());
  if (size > 0) std::memcpy(buffer, publishedBitmap.data(), static_cast<size_t>(std::min(length, size)));
  return std::min<int32_t>(size * 8, publishedPieceCount);
}

bool TWorkWithPieces::InProgress(int piece) const {
  const TPiece* p = pieces ? pieces->Piece(piece) : nullptr;
  return p && !pieces->IsHeld(piece) && (p->BufferedBytes() > 0 || p->flushed > 0 || p->complete);
}

void TWorkWithPieces::LayOutSegments(int64_t now) {
  if (!HasPieces() || !segments.Empty()) return;
  std::vector<SegmentList::ServerSource> servers;
  for (auto& candidate : candidates)
    if ((candidate->kind & 6) && !candidate->wholeContent) servers.push_back({candidate.get(), &candidate->allowance});
  segments.LayOut(servers, now);
}

void TWorkWithPieces::SizeBitmap(int pieces) {
  heldPieceCount = std::max(pieces, 0);
  heldBitmap.assign(static_cast<size_t>((heldPieceCount + 7) / 8), 0);
  bitmapChanged = true;
}

void TWorkWithPieces::PublishBitmap() {
  publishedBitmap = heldBitmap;
  publishedPieceCount = heldPieceCount;
  publishedBitmapSize = static_cast<int32_t>(publishedBitmap.size());
  bitmapChanged = false;
}

}  // namespace pf
