#include <gtest/gtest.h>

#include <set>

#include "engine/schedule/SegmentList.h"

namespace pf {
namespace {

struct FakePieces : PieceStateView {
  int count = 10;
  int length = 1048576;
  std::set<int> unwanted, inProgress;
  bool IsWanted(int piece) const override { return !unwanted.count(piece); }
  bool InProgress(int piece) const override { return inProgress.count(piece) != 0; }
  int PieceLength() const override { return length; }
  int PieceCount() const override { return count; }
  int FinishedPieces() const override { return static_cast<int>(unwanted.size()); }
};

struct Connection : SegmentHolder {
  explicit Connection(int bytesPerSecond = 0) { speed = bytesPerSecond; }
  void GiveUpSegment() override { ++gaveUp; }
  int gaveUp = 0;
};

std::vector<std::pair<int, int>> Ranges(const SegmentList& list) {
  std::vector<std::pair<int, int>> ranges;
  for (const auto& s : list.Segments()) ranges.emplace_back(s->start, s->end);
  return ranges;
}

TEST(SegmentList, LayOutSharesThePiecesAmongSources) {
  struct Case {
    int pieces;
    std::vector<int> allowances;
    std::vector<std::pair<int, int>> segments;
    std::vector<int> allowancesAfter;
  } cases[] = {
      {10, {1, 1, 1}, {{0, 2}, {3, 5}, {6, 9}}, {1, 1, 1}},
      {2, {1, 1, 1}, {{0, 0}, {1, 1}}, {1, 1, 1}},
      {40, {4, 1}, {{0, 4}, {5, 9}, {10, 14}, {15, 19}, {20, 39}}, {4, 1}},
      {12, {8}, {{0, 3}, {4, 7}, {8, 11}}, {3}},
  };
  for (auto& c : cases) {
    FakePieces pieces;
    pieces.count = c.pieces;
    SegmentList list(pieces);
    std::vector<SegmentList::ServerSource> sources;
    for (int& allowance : c.allowances) sources.push_back({&allowance, &allowance});
    ASSERT_TRUE(list.LayOut(sources, 0));
    EXPECT_EQ(Ranges(list), c.segments) << c.pieces;
    EXPECT_EQ(c.allowances, c.allowancesAfter) << c.pieces;
  }
}

TEST(SegmentList, AConnectionContinuesWhereItStopped) {
  FakePieces pieces;
  SegmentList list(pieces);
  int a = 2, b = 2;
  ASSERT_TRUE(list.LayOut({{&a, &a}, {&b, &b}}, 0));  // 0-4 and 5-9
  Connection c;
  c.lastPiece = 4;
  for (uint32_t tick : {0u, 1u, 2u, 3u}) {
    Connection fresh;
    fresh.lastPiece = 4;
    SegmentList again(pieces);
    int x = 2, y = 2;
    again.LayOut({{&x, &x}, {&y, &y}}, 0);
    ASSERT_TRUE(again.Assign(fresh, 0, tick));
    EXPECT_EQ(fresh.segment->current, 5) << "whatever the rotation, piece 5 follows piece 4";
  }
  ASSERT_TRUE(list.Assign(c, 0, 0));
  EXPECT_EQ(c.segment->start, 5);
  EXPECT_EQ(c.segmentCount, 1);
}

TEST(SegmentList, AStalledHolderLosesItsSegmentAfterTenSeconds) {
  FakePieces pieces;
  pieces.count = 3;
  SegmentList list(pieces);
  int allowance = 1;
  ASSERT_TRUE(list.LayOut({{&allowance, &allowance}}, 0));
  Connection slow, next;
  next.segmentCount = 1;  // it has worked before and shows no speed: no split for it
  ASSERT_TRUE(list.Assign(slow, 100, 0));
  EXPECT_FALSE(list.Assign(next, 110, 0)) << "ten seconds are not yet too long";
  ASSERT_TRUE(list.Assign(next, 111, 0));
  EXPECT_EQ(slow.gaveUp, 1);
  EXPECT_EQ(slow.segment, nullptr);
  EXPECT_EQ(next.segment->start, 0);
}

TEST(SegmentList, SplitGivesTheFasterConnectionItsShareOfTheTail) {
  FakePieces pieces;
  pieces.count = 10;
  pieces.length = 16384;
  SegmentList list(pieces);
  int allowance = 1;
  ASSERT_TRUE(list.LayOut({{&allowance, &allowance}}, 0));
  Connection holder(100), fast(300);
  ASSERT_TRUE(list.Assign(holder, 0, 0));
  holder.segment->started = 1;  // it is making progress, so it is not stalled
  fast.segmentCount = 1;  // it has worked before, so the share follows the speeds
  ASSERT_TRUE(list.Assign(fast, 20, 0));
  EXPECT_EQ(fast.segment->start, 2) << "76% of 10 pieces is 7, plus one for being much faster";
  EXPECT_EQ(fast.segment->end, 9);
  EXPECT_EQ(holder.segment->end, 1);
  EXPECT_EQ(holder.gaveUp, 0);
}

TEST(SegmentList, ASegmentWithPiecesInProgressIsHandedBackNotDropped) {
  FakePieces pieces;
  pieces.count = 4;
  SegmentList list(pieces);
  int allowance = 1;
  ASSERT_TRUE(list.LayOut({{&allowance, &allowance}}, 0));
  Connection c, other;
  ASSERT_TRUE(list.Assign(c, 0, 0));
  c.segment->current = 3;
  EXPECT_FALSE(list.CloseIfDone(c)) << "its last piece is still wanted";
  pieces.unwanted = {0, 1, 3};
  pieces.inProgress = {2};
  ASSERT_TRUE(list.CloseIfDone(c));
  EXPECT_EQ(c.segment, nullptr);
  ASSERT_EQ(list.Segments().size(), 1u);
  EXPECT_TRUE(list.Segments().front()->restart);
  ASSERT_TRUE(list.Assign(other, 0, 0)) << "another connection takes the unfinished pieces over";

  pieces.inProgress.clear();
  other.segment->current = other.segment->end;
  ASSERT_TRUE(list.CloseIfDone(other));
  EXPECT_TRUE(list.Empty()) << "a done segment leaves the list";
}

}  // namespace
}  // namespace pf
