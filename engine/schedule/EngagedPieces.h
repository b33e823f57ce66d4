#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/schedule/Segment.h"

namespace pf {

// Which pieces BitTorrent peers work on, one entry per peer and piece, so
// that far from the end a piece is shared by few peers and near the end by
// many. Also keeps the end-game state that follows from it.
class EngagedPieces {
 public:
  explicit EngagedPieces(const PieceStateView& pieces) : pieces_(pieces) {}

  // One more peer on `piece` when it has at most
  // max(max(connections / 3, 64) - unfinished, 1) entries already.
  bool Add(int piece, int connections);
  // Removes one entry of the piece; false when it had none.
  bool RemoveOne(int piece);
  // Removes every entry of the piece; false when it had none.
  bool RemoveAll(int piece);
  // Whether giving a piece up may drop its buffered bytes: outside end game,
  // or once so few pieces are left that nobody else would fetch them anyway.
  bool MayDropBuffer() const;
  int Count(int piece) const;
  size_t Size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

  // At most two pieces left to finish.
  bool IsLastPieces() const;
  // End game: every unfinished piece has a peer on it. Sets `seen` for good.
  bool UpdateEndGame();
  bool EndGame() const { return endGame_ != 0; }
  bool EndGameSeen() const { return endGameSeen_ != 0; }
  // Clears the end-game byte; having seen it is kept.
  void ResetEndGame() { endGame_ = 0; }

 private:
  int Unfinished() const { return pieces_.PieceCount() - pieces_.FinishedPieces(); }

  const PieceStateView& pieces_;
  std::vector<int> entries_;
  uint8_t endGame_ = 0;
  uint8_t endGameSeen_ = 0;
};

// Where a BitTorrent peer starts looking for a piece: spread at random over
// roughly the next 20 pieces per finished one, so that peers of a fresh task
// do not all fetch piece 0 first. 0 when `randomStart` is off or there are no
// pieces. The caller reduces it modulo the pieces it searches.
int StartPieceHint(bool randomStart, int pieceCount, int finishedPieces, uint32_t tickMs);

}  // namespace pf
