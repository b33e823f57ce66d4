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
