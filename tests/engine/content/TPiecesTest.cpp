#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cstring>

#include "engine/base/EngineLocks.h"
#include "support/ManualClock.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

using testing::MapSpec;
using testing::PieceMapFixture;

std::vector<int> HeldPieces(const TPieces& map) {
  std::vector<int> held;
  for (int64_t i = 0; i < map.pieceCount; ++i)
    if (map.IsHeld(i)) held.push_back(static_cast<int>(i));
  return held;
}

TEST(TPieces, BuildCutsPiecesAndNeedsAHashForEach) {
  PieceMapFixture fx("build");
  const MapSpec spec{{10}, 4};
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  ASSERT_EQ(map->pieceCount, 3);
  EXPECT_EQ(map->Piece(0)->size, 4);
  EXPECT_EQ(map->Piece(1)->size, 4);
  EXPECT_EQ(map->Piece(2)->size, 2);
  EXPECT_EQ(fx.sink.Count(PieceEvent::kPiecesBuilt), 1);

  auto shortHashes = fx.Map(spec);
  shortHashes->pieceHashes.resize(40);
  EXPECT_FALSE(shortHashes->BuildPieces(nullptr));
}

TEST(TPieces, PieceStartingAtAFileEndMapsToTheNextNonEmptyFile) {
  PieceMapFixture fx("files");
  const MapSpec spec{{4, 0, 6}, 4};
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  std::vector<TFileEntry*> list;
  ASSERT_TRUE(map->FilesOfPiece(*map->Piece(1), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->relativeName, "f2");
  EXPECT_EQ(map->Piece(1)->fileOffset, 0);
  ASSERT_TRUE(map->FilesOfPiece(*map->Piece(2), list));
  EXPECT_EQ(map->Piece(2)->fileOffset, 4);
}

TEST(TPieces, MarkHeldChangesCountersOnceAndNotifies) {
  PieceMapFixture fx("mark");
  auto map = fx.Map({{10}, 4});
  ASSERT_TRUE(map->BuildPieces(nullptr));
  const int before = fx.sink.Count(PieceEvent::kPieceHeld);
  EXPECT_TRUE(map->MarkHeld(2, true));
  EXPECT_FALSE(map->MarkHeld(2, true));
  EXPECT_EQ(fx.sink.Count(PieceEvent::kPieceHeld), before + 1);
  EXPECT_EQ(map->doneBytes, 2);
  EXPECT_EQ(map->finishedPieces, 1);
  EXPECT_EQ(map->have.Bytes()[0], 0x20) << "BitTorrent bit order: piece 2 is the third bit from the top";
  EXPECT_TRUE(map->MarkHeld(2, false));
  EXPECT_EQ(map->doneBytes, 0);
  EXPECT_EQ(map->lastCompleted, -1);
  EXPECT_FALSE(map->MarkHeld(7, true)) << "no such piece";

  // A change in the process's first monotonic second still counts as one.
  testing::ManualClock firstSecond({.monotonic = 0});
  ASSERT_TRUE(map->MarkHeld(0, true));
  EXPECT_NE(map->changeTime, 0);
}

TEST(TPieces, StartupCheckFindsExactlyTheGoodPieces) {
  PieceMapFixture fx("check");
  // Pieces straddle file ends; f3 is missing, f1 gets damaged.
  const MapSpec spec{{50000, 70000, 0, 40000, 30000}, 16384};
  fx.Map(spec);  // computes the content
  for (size_t f : {0u, 1u, 4u}) fx.WriteFile(f, spec);
  {
    std::fstream damage(fx.Path(1), std::ios::in | std::ios::out | std::ios::binary);
    damage.seekp(20000);  // stream offset 70000: piece 4
    damage.put('\x55');
  }
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr)) << "the check examines every byte even when pieces are bad";
  EXPECT_EQ(map->checkedBytes, map->totalLength);
  // f0: 0..49999, f1: 50000..119999, f3 (missing): 120000..159999, f4: 160000..189999.
  // Piece 4 (65536..81919) is damaged; pieces 7..9 touch the missing file; piece
  // 10 (163840..180223) lies wholly in f4; piece 11 ends the stream inside f4.
  EXPECT_EQ(HeldPieces(*map), (std::vector<int>{0, 1, 2, 3, 5, 6, 10, 11}));
  EXPECT_EQ(map->doneBytes, 7 * 16384 + (190000 - 11 * 16384));
}

TEST(TPieces, StartupCheckWithoutFilesHoldsNothing) {
  PieceMapFixture fx("nofiles");
  auto map = fx.Map({{100000, 3}, 32768});
  map->BuildPieces(nullptr);
  EXPECT_TRUE(HeldPieces(*map).empty());
  EXPECT_EQ(map->checkedBytes, map->totalLength);
  EXPECT_EQ(map->doneBytes, 0);
}

TEST(TPieces, SizesOnlyCheckTakesMatchingFilesAsComplete) {
  PieceMapFixture fx("sizes");
  const MapSpec spec{{40000, 25000}, 16384};
  fx.Map(spec);
  fx.WriteFile(0, spec);
  fx.WriteFile(1, spec);
  auto map = fx.Map(spec);
  map->sizesOnlyCheck = 1;
  EXPECT_TRUE(map->BuildPieces(nullptr));
  EXPECT_EQ(map->finishedPieces, map->pieceCount);
  EXPECT_EQ(map->doneBytes, map->totalLength);
  EXPECT_EQ(fx.sink.Count(PieceEvent::kAllHeld), 1);

  std::filesystem::resize_file(fx.Path(1), 100);
  auto shorter = fx.Map(spec);
  shorter->sizesOnlyCheck = 1;
  EXPECT_FALSE(shorter->BuildPieces(nullptr));
  EXPECT_EQ(shorter->doneBytes, 0);
}

TEST(TPieces, SkippingAFileKeepsPiecesSharedWithSelectedNeighbours) {
  PieceMapFixture fx("select");
  auto map = fx.Map({{10000, 30000, 10000}, 16384});
  ASSERT_TRUE(map->BuildPieces(nullptr));
  // Pieces: 0 = 0..16383 (f0, f1), 1 = 16384..32767 (f1), 2 = 32768..49151 (f1, f2),
  // 3 = 49152..49999 (f2).
  ASSERT_TRUE(map->SelectFile(*map->files[1], true));
  EXPECT_FALSE(map->Piece(0)->notWanted);
  EXPECT_TRUE(map->Piece(1)->notWanted);
  EXPECT_FALSE(map->Piece(2)->notWanted);
  EXPECT_EQ(map->wantedBytes, 20000);
  EXPECT_EQ(map->wantedPieces, 3);
  EXPECT_EQ(map->finishedPieces, 1);

  ASSERT_TRUE(map->SelectFile(*map->files[1], false));
  EXPECT_FALSE(map->Piece(1)->notWanted);
  EXPECT_EQ(map->wantedBytes, 50000);
  EXPECT_EQ(map->finishedPieces, 0);

  map->SelectAll(true);
  EXPECT_EQ(map->wantedBytes, 0);
  EXPECT_EQ(map->finishedPieces, map->pieceCount);
}

TEST(TPieces, FileSelectionListRoundTripsThroughTheOwner) {
  PieceMapFixture fx("selection-list");
  auto map = fx.Map({{10000, 30000}, 16384});
  map->fileSelection = "l2:f0i1ede2:f1i0edee";  // f0 skipped, f1 kept
  map->BuildPieces(nullptr);
  EXPECT_TRUE(map->files[0]->IsSkipped());
  EXPECT_FALSE(map->files[1]->IsSkipped());
  map->PublishFileList();
  const PieceEvent& last = fx.sink.events.back();
  ASSERT_EQ(last.code, PieceEvent::kFileList);
  EXPECT_EQ(fx.sink.payloads.back(), "l2:f0i1ede2:f1i0edee");
}

TEST(TPieces, OpenFileLimitFollowsThePieceLength) {
  PieceMapFixture fx("limit");
  std::vector<int64_t> lengths(40, 1000);
  auto map = fx.Map({lengths, 1048576});
  map->BuildPieces(nullptr);
  ScopedLock lock(&StorageLock());
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(map->OpenSized(map->files[i].get(), 1000, true, &lock, false));
  map->LimitOpenFiles();
  EXPECT_TRUE(map->files[0]->file.IsOpen()) << "32 open files stay below 128 / 4 + 1";
  ASSERT_TRUE(map->OpenSized(map->files[32].get(), 1000, true, &lock, false));
  map->LimitOpenFiles();
  for (auto& entry : map->files) EXPECT_FALSE(entry->file.IsOpen());
}

TEST(TPieces, OpenSizedCutsBackAnOverlongFile) {
  PieceMapFixture fx("overlong");
  const MapSpec spec{{5000}, 16384};
  fx.Map(spec);
  fx.WriteFile(0, spec);
  std::filesystem::resize_file(fx.Path(0), 9000);
  auto map = fx.Map(spec);
  map->BuildPieces(nullptr);
  ScopedLock lock(&StorageLock());
  EXPECT_TRUE(map->OpenSized(map->files[0].get(), 100, false, &lock, true));
  EXPECT_EQ(std::filesystem::file_size(fx.Path(0)), 5000u);
}

TEST(TPieces, ATargetThatCanNeverBeWrittenIsReportedOnce) {
  PieceMapFixture fx("unwritable");
  auto map = fx.Map({{5000}, 16384});
  map->BuildPieces(nullptr);
  // A folder on the path is a file: no retry can succeed.
  const std::filesystem::path blocker = std::filesystem::path(fx.Path(0)).parent_path() / "blocker";
  std::ofstream(blocker) << "x";
  map->files[0]->path = (blocker / "f0").string();
  ScopedLock lock(&StorageLock());
  fx.sink.events.clear();
  EXPECT_FALSE(map->OpenSized(map->files[0].get(), 100, true, &lock, false));
  ASSERT_EQ(fx.sink.events.size(), 1u);
  EXPECT_EQ(fx.sink.events.back().code, PieceEvent::kSizeUnreadable);
  // Reading a file that is not there yet is no storage failure.
  fx.sink.events.clear();
  map->files[0]->path = (std::filesystem::path(fx.Path(0)).parent_path() / "absent").string();
  EXPECT_FALSE(map->OpenSized(map->files[0].get(), 100, false, &lock, true));
  EXPECT_TRUE(fx.sink.events.empty());
}

// Empty files hold no piece: the check that finds every piece held still
// names the selected ones that are missing, and they are made under their
// final names (a folder of the torrent included); a skipped one is left out.
TEST(TPieces, MissingEmptyFilesAreNamedAndMade) {
  PieceMapFixture fx("empty");
  const MapSpec spec{{5000, 0, 3000, 0}, 16384};
  fx.Map(spec);
  fx.WriteFile(0, spec);
  fx.WriteFile(2, spec);
  auto map = fx.Map(spec);
  const std::string nested = (fx.dir / "sub" / "folder" / "f1").string();
  map->files[1]->path = nested + TFileEntry::kTempExtension;
  map->files[1]->finalPath = nested;
  map->files[1]->usesTempName = 1;
  ASSERT_TRUE(map->BuildPieces(nullptr));
  ASSERT_EQ(map->finishedPieces, 1);
  map->SelectFile(*map->files[3], true);

  const auto missing = map->MissingEmptyFiles();
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0]->relativeName, "f1");
  ASSERT_TRUE(map->CreateEmptyFiles());
  EXPECT_TRUE(std::filesystem::is_regular_file(nested));
  EXPECT_FALSE(std::filesystem::exists(nested + TFileEntry::kTempExtension));
  EXPECT_EQ(map->files[1]->path, nested);
  EXPECT_FALSE(std::filesystem::exists(fx.Path(3))) << "a skipped file is not made";
  EXPECT_TRUE(map->MissingEmptyFiles().empty());

  // One that cannot be made is reported as an unwritable target.
  std::filesystem::remove(nested);
  std::ofstream(fx.dir / "blocker") << "x";
  map->files[1]->path = (fx.dir / "blocker" / "f1").string();
  fx.sink.events.clear();
  EXPECT_FALSE(map->CreateEmptyFiles());
  ASSERT_FALSE(fx.sink.events.empty());
  EXPECT_EQ(fx.sink.events.back().code, PieceEvent::kSizeUnreadable);
}

}  // namespace
}  // namespace pf
