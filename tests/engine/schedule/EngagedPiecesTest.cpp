#include <gtest/gtest.h>

#include "engine/schedule/EngagedPieces.h"

namespace pf {
namespace {

struct FakePieces : PieceStateView {
  int count = 100;
  int finished = 0;
  bool IsWanted(int) const override { return true; }
  bool InProgress(int) const override { return false; }
  int PieceLength() const override { return 16384; }
  int PieceCount() const override { return count; }
  int FinishedPieces() const override { return finished; }
};

// How many peers may work on one piece.
int PeersOnOnePiece(int unfinished, int connections) {
  FakePieces pieces;
  pieces.finished = pieces.count - unfinished;
  EngagedPieces engaged(pieces);
  int peers = 0;
  while (peers < 1000 && engaged.Add(7, connections)) ++peers;
  return peers;
}

TEST(EngagedPieces, FewPeersShareAPieceUntilTheLastPieces) {
  struct Case {
    int unfinished, connections, peers;
  } cases[] = {
      {100, 30, 2},   // far from the end: two peers at most
      {64, 30, 2},
      {63, 30, 2},
      {62, 30, 3},
      {10, 30, 55},   // max(64 - 10, 1) + 1
      {10, 300, 91},  // many connections raise the limit
      {1, 3, 64},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PeersOnOnePiece(c.unfinished, c.connections), c.peers) << c.unfinished << " " << c.connections;
}

TEST(EngagedPieces, RemovesOneOrAllEntriesOfAPiece) {
  FakePieces pieces;
  pieces.finished = 90;
  EngagedPieces engaged(pieces);
  for (int piece : {4, 5, 4, 4}) ASSERT_TRUE(engaged.Add(piece, 0));
  EXPECT_TRUE(engaged.RemoveOne(4));
  EXPECT_EQ(engaged.Count(4), 2);
  EXPECT_FALSE(engaged.RemoveOne(6));
  EXPECT_TRUE(engaged.RemoveAll(4));
  EXPECT_EQ(engaged.Count(4), 0);
  EXPECT_FALSE(engaged.RemoveAll(4));
  EXPECT_EQ(engaged.Size(), 1u);
}

TEST(EngagedPieces, EndGameStartsWhenEveryUnfinishedPieceHasAPeer) {
  FakePieces pieces;
  pieces.count = 10;
  pieces.finished = 6;
  EngagedPieces engaged(pieces);
  for (int piece : {6, 7, 8}) engaged.Add(piece, 0);
  EXPECT_FALSE(engaged.UpdateEndGame());
  EXPECT_TRUE(engaged.MayDropBuffer());
  engaged.Add(9, 0);
  EXPECT_TRUE(engaged.UpdateEndGame());
  EXPECT_FALSE(engaged.MayDropBuffer()) << "four unfinished pieces, others may still fetch them";
  pieces.finished = 7;
  EXPECT_TRUE(engaged.MayDropBuffer());

  engaged.RemoveAll(9);
  engaged.RemoveAll(8);
  EXPECT_FALSE(engaged.UpdateEndGame());
  EXPECT_TRUE(engaged.EndGameSeen());
  engaged.Add(8, 0);
  EXPECT_TRUE(engaged.UpdateEndGame());
  engaged.ResetEndGame();
  EXPECT_FALSE(engaged.EndGame());
  EXPECT_TRUE(engaged.EndGameSeen());
}

TEST(EngagedPieces, LastPiecesAreTheFinalTwo) {
  struct Case {
    int count, finished;
    bool last;
  } cases[] = {{0, 0, false}, {10, 7, false}, {10, 8, true}, {10, 10, true}, {2, 0, true}};
  for (const auto& c : cases) {
    FakePieces pieces;
    pieces.count = c.count;
    pieces.finished = c.finished;
    EXPECT_EQ(EngagedPieces(pieces).IsLastPieces(), c.last) << c.count << " " << c.finished;
  }
}

TEST(StartPieceHint, SpreadsFromTheFinishedCount) {
  struct Case {
    bool random;
    int count, finished;
    uint32_t tick;
    int hint;
  } cases[] = {
      {false, 100, 5, 12345, 0},
      {true, 0, 0, 12345, 0},
      {true, 100, 0, 7, 1},        // 7 mod 6
      {true, 1, 0, 5, 0},          // wrapped below the piece count
      {true, 100, 1, 25, 25},      // 25 mod 26; one finished piece adds nothing
      {true, 100, 2, 45, 47},      // 45 mod 46, plus 2
      {true, 10, 3, 65, 8},        // 65 mod 66 = 65, wrapped to 5, plus 3
      {true, 100, 2, 0xFFFFFFFF, 4294967295u % 46 + 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StartPieceHint(c.random, c.count, c.finished, c.tick), c.hint) << c.count << " " << c.finished;
}

}  // namespace
}  // namespace pf
