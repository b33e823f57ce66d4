// Finished pieces checked on the background thread: the verdict reaches the
// piece only when the work thread collects it, a reset piece ignores a late
// verdict on its old bytes, and a bad piece tells the source that sent it.
#include <gtest/gtest.h>

#include "support/PieceMapFixture.h"

namespace pf {
namespace {

using testing::MapSpec;
using testing::PieceMapFixture;
using testing::TestSource;

// Delivers all of piece `index` from `bytes`, block by block.
void Deliver(TPieces& map, int index, const std::string& bytes, TPieceSource* source) {
  TPiece& piece = *map.Piece(index);
  const int64_t start = map.PieceStart(index);
  for (int offset = 0; offset < piece.size; offset += 16384) {
    const int length = std::min(16384, piece.size - offset);
    piece.Receive(reinterpret_cast<const uint8_t*>(bytes.data()) + start + offset, length, offset, source);
  }
}

// A map of `pieces` pieces of 256 KB whose finished pieces are checked in
// the background.
RefPtr<TPieces> HashingMap(PieceMapFixture& fx, int pieces) {
  auto map = fx.Map(MapSpec{{int64_t{pieces} * 262144}, 262144});
  if (map->BuildPieces(nullptr)) map->EnableBackgroundHashing();
  return map;
}

TEST(PieceHasher, VerdictsArriveWhenCollected) {
  PieceMapFixture fx("hasher");
  auto map = HashingMap(fx, 3);
  ASSERT_NE(map->Piece(2), nullptr);
  auto source = RefPtr<TestSource>::Make(kHttp);
  std::string damaged = fx.content;
  damaged[262144 + 5] ^= 0x40;

  Deliver(*map, 0, fx.content, source.get());
  Deliver(*map, 1, damaged, source.get());
  EXPECT_TRUE(map->Piece(0)->hashing);
  EXPECT_FALSE(map->Piece(0)->complete);
  // While it is checked, the piece takes no bytes.
  EXPECT_FALSE(map->Piece(0)->Receive(reinterpret_cast<const uint8_t*>(fx.content.data()), 16384, 0, source.get()).accepted);

  map->WaitForHashes();
  EXPECT_TRUE(map->IsHeld(0)) << "the good piece was written";
  EXPECT_FALSE(map->Piece(0)->hashing);
  EXPECT_FALSE(map->IsHeld(1));
  EXPECT_FALSE(map->Piece(1)->complete);
  EXPECT_FALSE(map->Piece(1)->HasUnit(0)) << "the bad piece starts over";
  EXPECT_EQ(source->lateBadPieces, 1);
  EXPECT_EQ(source->badPieces, 1);
  EXPECT_EQ(fx.ReadFile(map->files[0]->path).substr(0, 262144), fx.content.substr(0, 262144));
}

TEST(PieceHasher, APieceResetWhileCheckedIgnoresTheLateVerdict) {
  PieceMapFixture fx("hasher-reset");
  auto map = HashingMap(fx, 2);
  ASSERT_NE(map->Piece(1), nullptr);
  auto source = RefPtr<TestSource>::Make(kHttp);
  Deliver(*map, 0, fx.content, source.get());
  ASSERT_TRUE(map->Piece(0)->hashing);
  map->Piece(0)->Reset();  // e.g. the file was deselected meanwhile
  map->WaitForHashes();
  EXPECT_FALSE(map->IsHeld(0));
  EXPECT_FALSE(map->Piece(0)->complete);
  // Received again, it completes normally.
  Deliver(*map, 0, fx.content, source.get());
  map->WaitForHashes();
  EXPECT_TRUE(map->IsHeld(0));
}

}  // namespace
}  // namespace pf
