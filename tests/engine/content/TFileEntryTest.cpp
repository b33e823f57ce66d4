#include "engine/content/TFileEntry.h"

#include <gtest/gtest.h>

#include "support/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace pf {
namespace {

namespace fs = std::filesystem;

struct SpanCase {
  int64_t offset;
  int64_t length;
  int pieceLength;
  int firstPiece;
  int span;
};

const SpanCase kSpans[] = {
    {6, 10, 4, 1, 3},   // bytes 6..15: a partial first piece, then two more
    {0, 4, 4, 0, 1},    // exactly one piece
    {0, 5, 4, 0, 2},    // one byte into the next piece
    {5, 3, 4, 1, 1},    // ends on the boundary of its only piece
    {3, 2, 4, 0, 2},    // straddles one boundary
    {8, 8, 4, 2, 2},    // aligned start
    {7, 0, 4, 1, 0},    // empty file
    {7, -5, 4, 1, 0},
    {0, (int64_t{3} << 32) + 1, 2097152, 0, 6145},  // beyond 32-bit lengths
    {(int64_t{5} << 32), 1, 2097152, 10240, 1},
    {6, 10, 0, -1, -1},  // no piece length: unknown
    {-6, 10, 4, -1, -1},
};

TEST(TFileEntrySpanTest, PiecesTouchedByAFile) {
  for (const SpanCase& c : kSpans) {
    SCOPED_TRACE(::testing::Message() << "offset " << c.offset << " length " << c.length
                                    << " piece " << c.pieceLength);
    TFileEntry e;
    e.Construct("f", "f", c.length, 0);
    e.offset = c.offset;
    e.SetPieceSpan(c.pieceLength);
    EXPECT_EQ(e.firstPiece, c.firstPiece);
    EXPECT_EQ(e.pieceSpan, c.span);
  }
}

TEST(TFileEntryConstructTest, CharactersWindowsCannotStoreBecomeUnderscores) {
  const std::pair<std::string, std::string> kCases[] = {
      {"save/what?.bin", "save/what_.bin"},
      {"a\r\nb?", "a__b_"},
      {"\\\\?\\C:\\game\\x?y", "\\\\?\\C:\\game\\x_y"},  // the long-path prefix stays
      {"\\\\?x", "\\\\_x"},                              // not a full prefix
      {"?", "_"},
      {"", ""},
  };
  for (const auto& [in, out] : kCases) {
    TFileEntry e;
    e.priority = TFileEntry::kSkipped;
    e.firstPiece = 4;
    e.pieceSpan = 2;
    e.Construct(in, "rel?", 12, 3);
    EXPECT_EQ(e.path, out) << in;
    EXPECT_EQ(e.relativeName, "rel?");
    EXPECT_EQ(e.length, 12);
    EXPECT_EQ(e.index, 3);
    EXPECT_EQ(e.priority, TFileEntry::kSelected);
    EXPECT_EQ(e.firstPiece, -1);
    EXPECT_EQ(e.pieceSpan, -1);
    EXPECT_EQ(e.usesTempName, 0);
  }
}

class TFileEntryDiskTest : public testing::TempFolderTest {
 protected:
  TFileEntryDiskTest() : TempFolderTest("pfentry") {}
  void TearDown() override {
    // A read-only test file must be writable again to be removed.
    std::error_code ec;
    fs::permissions(dir / "ro", fs::perms::owner_write, fs::perm_options::add, ec);
    TempFolderTest::TearDown();
  }
  void Init(TFileEntry& e, const std::string& name) const { e.Construct(Path(name), name, 4, 0); }
};

TEST_F(TFileEntryDiskTest, NewFileIsWrittenUnderTemporaryNameExistingFileKeepsItsName) {
  TFileEntry fresh;
  Init(fresh, "new.bin");
  fresh.SetUpTempName();
  EXPECT_EQ(fresh.path, Path("new.bin.pftmp"));
  EXPECT_EQ(fresh.finalPath, Path("new.bin"));
  EXPECT_EQ(fresh.usesTempName, 1);
  fresh.SetUpTempName();  // only once
  EXPECT_EQ(fresh.path, Path("new.bin.pftmp"));

  Put("old.bin", "part");
  TFileEntry existing;
  Init(existing, "old.bin");
  existing.SetUpTempName();
  EXPECT_EQ(existing.path, Path("old.bin"));
  EXPECT_EQ(existing.finalPath, "");
  EXPECT_EQ(existing.usesTempName, 0);

  TFileEntry unnamed;
  unnamed.Construct("", "", 4, 0);
  unnamed.SetUpTempName();
  EXPECT_EQ(unnamed.path, "");
  EXPECT_EQ(unnamed.usesTempName, 0);
}

TEST_F(TFileEntryDiskTest, RenameToFinalMovesTheTemporaryFile) {
  TFileEntry e;
  Init(e, "game.bin");
  e.SetUpTempName();
  EXPECT_FALSE(e.RenameToFinal());  // nothing written yet
  EXPECT_EQ(e.usesTempName, 1);

  Put("game.bin.pftmp", "done");
  ASSERT_TRUE(e.RenameToFinal());
  EXPECT_EQ(e.path, Path("game.bin"));
  EXPECT_EQ(e.finalPath, "");
  EXPECT_EQ(e.usesTempName, 0);
  EXPECT_EQ(Get("game.bin"), "done");
  EXPECT_FALSE(fs::exists(Path("game.bin.pftmp")));
  EXPECT_FALSE(e.RenameToFinal());  // already final
}

TEST_F(TFileEntryDiskTest, FailedRenameLeavesFilesAndEntryAsTheyWere) {
  TFileEntry e;
  Init(e, "game.bin");
  e.SetUpTempName();
  Put("game.bin.pftmp", "new");
  Put("game.bin", "someone else's");  // appeared after the temporary name was chosen
  EXPECT_FALSE(e.RenameToFinal());
  EXPECT_EQ(e.path, Path("game.bin.pftmp"));
  EXPECT_EQ(e.finalPath, Path("game.bin"));
  EXPECT_EQ(e.usesTempName, 1);
  EXPECT_EQ(Get("game.bin.pftmp"), "new");
  EXPECT_EQ(Get("game.bin"), "someone else's");

  // Once the way is clear, the next finishing pass succeeds.
  fs::remove(Path("game.bin"));
  EXPECT_TRUE(e.RenameToFinal());
  EXPECT_EQ(Get("game.bin"), "new");
}

TEST_F(TFileEntryDiskTest, ReadOnlyMarkChangesOnlyTheOwnerWriteBitOfFiles) {
  Put("ro", "x");
  fs::permissions(Path("ro"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  auto perms = [&] { return fs::status(Path("ro")).permissions(); };

  EXPECT_TRUE(SetReadOnly(Path("ro"), true));
  EXPECT_EQ(perms(), fs::perms::owner_read | fs::perms::group_read);
  EXPECT_TRUE(SetReadOnly(Path("ro"), true));  // nothing to change
  EXPECT_TRUE(SetReadOnly(Path("ro"), false));
  EXPECT_EQ(perms(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(SetReadOnly(Path("ro"), false));

  EXPECT_FALSE(SetReadOnly(Path("missing"), true));
  EXPECT_FALSE(SetReadOnly(dir.string(), true));
  EXPECT_TRUE((fs::status(dir).permissions() & fs::perms::owner_write) != fs::perms::none);
  EXPECT_FALSE(SetReadOnly("", false));
}

TEST_F(TFileEntryDiskTest, ExistenceCoversFilesAndDirectories) {
  Put("f", "");
  EXPECT_TRUE(FileExists(Path("f")));
  EXPECT_TRUE(FileExists(dir.string()));
  EXPECT_FALSE(FileExists(Path("missing")));
  EXPECT_FALSE(FileExists(""));
}

TEST_F(TFileEntryDiskTest, MakeDirectoriesCreatesEveryDirectoryBeforeTheName) {
  EXPECT_TRUE(MakeDirectories(Path("a/b/c/file.bin")));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_FALSE(fs::exists(dir / "a/b/c/file.bin"));
  EXPECT_TRUE(MakeDirectories(Path("a/b/c/file.bin")));  // existing is fine
  EXPECT_TRUE(MakeDirectories(Path("a/b/d\\file.bin")));  // cut at a backslash too
  EXPECT_TRUE(fs::is_directory(dir / "a/b/d"));
  EXPECT_TRUE(MakeDirectories("file.bin"));

  Put("plain", "");
  EXPECT_FALSE(MakeDirectories(Path("plain/sub/file.bin")));
}

TEST_F(TFileEntryDiskTest, FreeSpaceOfTheFilesDirectory) {
  int64_t available = static_cast<int64_t>(fs::space(dir).available);
  int64_t free = FreeSpace(Path("file.bin"));
  // Other processes may write meanwhile; the figures stay close.
  EXPECT_NEAR(static_cast<double>(free), static_cast<double>(available), 64.0 * 1024 * 1024);

  EXPECT_EQ(FreeSpace(Path("missing/file.bin")), 2147483647);
  EXPECT_EQ(FreeSpace(Path(std::string(5000, 'd') + "/f")), 2147483647);
}

}  // namespace
}  // namespace pf
