#include "engine/schedule/EngagedPieces.h"

#include <algorithm>

namespace pf {

int EngagedPieces::Count(int piece) const {
  return static_cast<int>(std::count(entries_.begin(), entries_.end(), piece));
}

bool EngagedPieces::Add(int piece, int connections) {
  const int limit = std::max(std::max(connections / 3, 64) - Unfinished(), 1);
  if (Count(piece) > limit) return false;
  entries_.push_back(piece);
  return true;
}

bool EngagedPieces::RemoveOne(int piece) {
  auto it = std::find(entries_.begin(), entries_.end(), piece);
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

bool EngagedPieces::RemoveAll(int piece) { return std::erase(entries_, piece) > 0; }

bool EngagedPieces::MayDropBuffer() const { return !endGame_ || Unfinished() <= 3; }

bool EngagedPieces::IsLastPieces() const {
  const int count = pieces_.PieceCount();
  return count > 0 && count - pieces_.FinishedPieces() <= 2;
}

bool EngagedPieces::UpdateEndGame() {
  endGame_ = Unfinished() <= static_cast<int>(entries_.size()) ? 1 : 0;
  endGameSeen_ = endGame_ || endGameSeen_;
  return endGame_ != 0;
}

int StartPieceHint(bool randomStart, int pieceCount, int finishedPieces, uint32_t tickMs) {
  if (!randomStart || pieceCount <= 0) return 0;
  const int64_t f = std::max(finishedPieces, 0);
  int64_t b = static_cast<int64_t>(tickMs % static_cast<uint64_t>(20 * f + 6));
  while (b >= pieceCount) b -= pieceCount;
  return static_cast<int>(f >= 2 ? b + f : b);
}

}  // namespace pf
