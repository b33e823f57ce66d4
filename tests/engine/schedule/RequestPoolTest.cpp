#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/schedule/RequestPool.h"

namespace pf {
namespace {

struct FakePieces : PieceStateView {
  int count = 8;
  int length = 4 * 16384;  // four blocks a piece
  int finished = 0;
  std::set<int> unwanted;
  bool IsWanted(int piece) const override { return piece >= 0 && piece < count && !unwanted.count(piece); }
  bool InProgress(int) const override { return false; }
  int PieceLength() const override { return length; }
  int PieceCount() const override { return count; }
  int FinishedPieces() const override { return finished; }
};

Bitfield Bits(std::initializer_list<int> pieces) {
  Bitfield bits(16);
  for (int p : pieces) bits.Set(p);
  return bits;
}

std::deque<BlockRequest> Blocks(std::initializer_list<int64_t> blocks, uint32_t at = 0) {
  std::deque<BlockRequest> out;
  for (int64_t b : blocks) out.push_back({b, 16384, at});
  return out;
}

std::vector<int64_t> Numbers(const std::deque<BlockRequest>& requests) {
  std::vector<int64_t> out;
  for (const auto& r : requests) out.push_back(r.block);
  return out;
}

TEST(RequestPool, ChoosesTheFirstPooledPieceThePeerHasLacksNotAndTheMapWants) {
  struct Case {
    const char* name;
    Bitfield has, lacks;
    std::set<int> unwanted;
    std::vector<int64_t> taken;  // blocks moved, in order; empty: nothing chosen
  } cases[] = {
      {"first in pool order", Bits({0, 1, 2}), {}, {}, {0, 1}},
      {"peer lacks it", Bits({0, 1, 2}), Bits({0}), {}, {4, 5}},
      {"map no longer wants it", Bits({0, 1, 2}), {}, {0}, {4, 5}},
      {"only what the peer has", Bits({2}), {}, {}, {8}},
      {"nothing fits", Bits({3}), {}, {}, {}},
      {"empty lack field counts as nothing lacked", Bits({1}), Bitfield(), {}, {4, 5}},
  };
  for (auto& c : cases) {
    FakePieces pieces;
    pieces.unwanted = c.unwanted;
    auto pool = Blocks({0, 4, 1, 8, 5});  // pieces 0, 1, 0, 2, 1
    RequestPool policy(pool, pieces);
    std::deque<BlockRequest> queue;
    EXPECT_EQ(policy.Take(queue, c.has, 16, c.lacks, 50), !c.taken.empty()) << c.name;
    EXPECT_EQ(Numbers(queue), c.taken) << c.name;
    EXPECT_EQ(pool.size() + queue.size(), 5u) << c.name;
  }
}

TEST(RequestPool, FillsTheQueueUpToCountAndLeavesWhatItAlreadyHolds) {
  FakePieces pieces;
  auto pool = Blocks({0, 8, 9, 4, 10, 11});
  RequestPool policy(pool, pieces);
  auto queue = Blocks({9}, 3);  // the peer asked for block 9 itself already
  EXPECT_TRUE(policy.Take(queue, Bits({2}), 3, {}, 77));
  EXPECT_EQ(Numbers(queue), (std::vector<int64_t>{9, 8, 10}));
  EXPECT_EQ(queue[0].requestedAt, 3u);
  EXPECT_EQ(queue[1].requestedAt, 77u);
  EXPECT_EQ(queue[2].requestedAt, 77u);
  EXPECT_EQ(Numbers(pool), (std::vector<int64_t>{0, 9, 4, 11}));

  // A full queue takes nothing but still reports work.
  EXPECT_TRUE(policy.Take(queue, Bits({2}), 3, {}, 78));
  EXPECT_EQ(queue.size(), 3u);

  // count <= 0 means 16.
  pieces.length = 32 * 16384;
  std::deque<BlockRequest> big;
  for (int64_t b = 0; b < 20; ++b) big.push_back({b, 16384, 0});
  RequestPool bigPolicy(big, pieces);
  std::deque<BlockRequest> fresh;
  EXPECT_TRUE(bigPolicy.Take(fresh, Bits({0}), 0, {}, 1));
  EXPECT_EQ(fresh.size(), 16u);
  EXPECT_EQ(big.size(), 4u);
}

TEST(RequestPool, PruneKeepsOnlyPiecesPeersWorkOn) {
  FakePieces pieces;
  pieces.length = 16384;  // limit: 1 * 64 + 64 = 128 requests
  pieces.count = 300;
  std::deque<BlockRequest> pool;
  auto fill = [&](int size) {
    pool.clear();
    for (int i = 0; i < size; ++i) pool.push_back({(i * 7) % size, 16384, 0});  // scattered order
  };
  RequestPool policy(pool, pieces);
  ASSERT_EQ(policy.Limit(), 128u);
  std::vector<int> released;
  auto heldByPeer = [](int piece) { return piece % 10 == 3; };
  auto release = [&](int piece) { released.push_back(piece); };

  fill(128);
  EXPECT_EQ(policy.Prune(false, heldByPeer, release), 0u);
  EXPECT_EQ(pool.size(), 128u);

  fill(129);
  EXPECT_EQ(policy.Prune(true, heldByPeer, release), 0u) << "end game keeps every request";
  EXPECT_TRUE(released.empty());

  EXPECT_EQ(policy.Prune(false, heldByPeer, release), 129u - 13u);
  EXPECT_EQ(Numbers(pool), (std::vector<int64_t>{3, 13, 23, 33, 43, 53, 63, 73, 83, 93, 103, 113, 123}));
  EXPECT_EQ(released.size(), 116u);
  EXPECT_TRUE(std::is_sorted(released.begin(), released.end()));

  // A finished task keeps nothing, end game or not.
  pieces.finished = pieces.count;
  released.clear();
  EXPECT_EQ(policy.Prune(true, heldByPeer, release), 13u);
  EXPECT_TRUE(pool.empty());
}

}  // namespace
}  // namespace pf
