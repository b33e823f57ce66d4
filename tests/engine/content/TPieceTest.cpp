#include <gtest/gtest.h>

#include <cstring>

#include "engine/base/EngineLocks.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

using testing::MapSpec;
using testing::PieceMapFixture;
using testing::TestSource;

const uint8_t* Bytes(const std::string& s, int64_t offset = 0) {
  return reinterpret_cast<const uint8_t*>(s.data()) + offset;
}

TEST(TPiece, ChunkLayoutFollowsThePieceSize) {
  PieceMapFixture fx("chunks");
  auto map = fx.Map({{100 * 1024 + 1048576}, 1048576});
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& big = *map->Piece(0);
  TPiece& small = *map->Piece(1);
  EXPECT_EQ(big.ChunkSize(), 131072);
  EXPECT_EQ(small.ChunkSize(), 100 * 1024);
  auto source = RefPtr<TestSource>::Make(kHttp);
  big.Receive(Bytes(fx.content), 16384, 0, source.get());
  EXPECT_EQ(big.ChunkSlots(), 8u);
  small.Receive(Bytes(fx.content, 1048576), 16384, 0, source.get());
  EXPECT_EQ(small.ChunkSlots(), 1u);
}

TEST(TPiece, BlocksOutOfOrderTwiceAndAcrossChunksCompleteThePieceOnce) {
  PieceMapFixture fx("receive");
  const MapSpec spec{{150000, 50000}, 200000};
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& piece = *map->Piece(0);
  auto source = RefPtr<TestSource>::Make(kHttp);
  // A block straddling the 128 KB chunk boundary is refused.
  EXPECT_FALSE(piece.Receive(Bytes(fx.content, 131072 - 8192), 16384, 131072 - 8192, source.get()).accepted);

  std::vector<int> order;
  for (int offset = 0; offset < 200000; offset += 16384) order.insert(order.begin(), offset);
  for (int offset : order) {
    const int length = std::min(16384, 200000 - offset);
    if (offset == 16384) {  // the same block twice counts once
      piece.Receive(Bytes(fx.content, offset), length, offset, source.get());
      EXPECT_FALSE(piece.complete);
    }
    const auto result = piece.Receive(Bytes(fx.content, offset), length, offset, source.get());
    EXPECT_EQ(result.result, length);
    EXPECT_TRUE(result.accepted);
  }
  EXPECT_TRUE(piece.complete);
  EXPECT_TRUE(piece.verified);
  EXPECT_EQ(map->pendingWriteBytes, 200000);

  EXPECT_EQ(piece.FinishWrite(), 200000);
  EXPECT_TRUE(map->IsHeld(0));
  EXPECT_EQ(piece.BufferedBytes(), 0);
  EXPECT_EQ(source->score, 1) << "the whole piece came from this source";
  map->CloseFiles(false, true);
  EXPECT_EQ(fx.ReadFile(fx.Path(0)), fx.content.substr(0, 150000)) << "finished file has its final name";
  EXPECT_EQ(fx.ReadFile(fx.Path(1)), fx.content.substr(150000));
}

// A piece stamped complete again and again before the disk takes it (its
// target could not be written, so it was fetched anew each time) adds to the
// bytes waiting for the disk beyond 2 GB: the count neither wraps nor stops
// the write that empties it.
TEST(TPiece, BytesWaitingForTheDiskNeverWrap) {
  PieceMapFixture fx("pending");
  auto map = fx.Map({{200000}, 200000});
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& piece = *map->Piece(0);
  auto source = RefPtr<TestSource>::Make(kHttp);
  for (int offset = 0; offset < 200000; offset += 16384)
    piece.Receive(Bytes(fx.content, offset), std::min(16384, 200000 - offset), offset, source.get());
  ASSERT_TRUE(piece.complete);
  constexpr int64_t kStamps = 12000;  // 2.4 GB
  for (int64_t i = 1; i < kStamps; ++i) piece.StampComplete();
  EXPECT_EQ(map->pendingWriteBytes, kStamps * 200000);
  EXPECT_EQ(map->cachedBytes, kStamps * 200000);
  map->WriteCompletePieces();
  EXPECT_EQ(map->pendingWriteBytes, 0);
  EXPECT_TRUE(map->IsHeld(0));
}

TEST(TPiece, LongPieceStreamsToDiskAndVerifiesWithTheRunningHash) {
  PieceMapFixture fx("stream");
  const MapSpec spec{{2 * 1048576}, 1048576};
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& piece = *map->Piece(1);
  auto source = RefPtr<TestSource>::Make(kHttp);
  const int64_t base = 1048576;
  for (int offset = 0; offset < 4 * 131072; offset += 16384)
    piece.Receive(Bytes(fx.content, base + offset), 16384, offset, source.get());
  EXPECT_EQ(piece.Flush(131072), 4 * 131072);
  EXPECT_EQ(piece.flushed, 4 * 131072);
  EXPECT_EQ(piece.BufferedBytes(), 0) << "written chunks go back to the pool";
  for (int offset = 4 * 131072; offset < 1048576; offset += 16384)
    piece.Receive(Bytes(fx.content, base + offset), 16384, offset, source.get());
  ASSERT_TRUE(piece.complete) << "the running hash over the streamed half verifies the whole";
  EXPECT_EQ(piece.FinishWrite(), 1048576);
  EXPECT_TRUE(map->IsHeld(1));
  EXPECT_EQ(source->score, 1) << "the whole piece came from this source";
  map->CloseFiles(false, false);
  const std::string onDisk = fx.ReadFile(fx.Path(0) + ".pftmp");
  ASSERT_EQ(onDisk.size(), 2u * 1048576) << "a file grows to its full length on first write";
  EXPECT_EQ(onDisk.substr(1048576), fx.content.substr(1048576));
}

TEST(TPiece, WrongPieceIsDroppedWithOneBadMarkAndNoMemory) {
  PieceMapFixture fx("bad");
  auto map = fx.Map({{300000}, 262144});
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& piece = *map->Piece(0);
  auto source = RefPtr<TestSource>::Make(kHttp);
  std::string wrong = fx.content.substr(0, 262144);
  wrong[1000] ^= 1;
  int last = 0;
  for (int offset = 0; offset < 262144; offset += 16384)
    last = piece.Receive(Bytes(wrong, offset), 16384, offset, source.get()).result;
  EXPECT_EQ(last, TPiece::kBadPiece);
  EXPECT_EQ(source->badPieces, 1);
  EXPECT_EQ(source->score, 1);
  EXPECT_EQ(piece.BufferedBytes(), 0);
  EXPECT_EQ(piece.ChunkSlots(), 0u);
  EXPECT_FALSE(piece.complete);
  EXPECT_FALSE(map->IsHeld(0));
  EXPECT_EQ(map->activePieces.count(&piece), 0u);
}

TEST(TPiece, ServingNeedsAHeldPieceUnlessAllowedAndReadsAhead) {
  PieceMapFixture fx("serve");
  const MapSpec spec{{600000}, 262144};
  fx.Map(spec);
  fx.WriteFile(0, spec);
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  ASSERT_TRUE(map->IsHeld(1));
  std::vector<uint8_t> block(16384);
  map->MarkHeld(1, false);
  EXPECT_EQ(map->Piece(1)->ReadBlock(block.data(), 16384, 0, 0, 0, false), -1);
  map->MarkHeld(1, true);
  TPiece& piece = *map->Piece(1);
  ASSERT_EQ(piece.ReadBlock(block.data(), 16384, 16384, 0, 0, false), 16384);
  EXPECT_EQ(0, std::memcmp(block.data(), fx.content.data() + 262144 + 16384, 16384));
  EXPECT_TRUE(piece.HasUnit(16384 + 16384)) << "the read went ahead";
  const int64_t hits = map->cacheHits;
  ASSERT_EQ(piece.ReadBlock(block.data(), 16384, 32768, 0, 0, false), 16384);
  EXPECT_EQ(map->cacheHits, hits + 1);
  EXPECT_EQ(0, std::memcmp(block.data(), fx.content.data() + 262144 + 32768, 16384));
}

TEST(TPiece, WithoutRealHashesEveryWholePieceCountsAsGood) {
  PieceMapFixture fx("nohash");
  auto map = fx.Map({{40000}, 32768});
  map->loading = 0;
  map->pieceHashes.clear();
  ASSERT_TRUE(map->BuildPieces(nullptr));
  TPiece& piece = *map->Piece(0);
  const std::string junk(32768, 'j');
  for (int offset = 0; offset < 32768; offset += 16384)
    piece.Receive(Bytes(junk, offset), 16384, offset, nullptr);
  EXPECT_TRUE(piece.complete);
  EXPECT_EQ(piece.FinishWrite(), 32768);
  EXPECT_TRUE(map->IsHeld(0));
}

}  // namespace
}  // namespace pf
