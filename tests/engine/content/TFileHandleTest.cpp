#include "engine/content/TFileHandle.h"

#include <gtest/gtest.h>

#include "support/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace pf {
namespace {

namespace fs = std::filesystem;

class TFileHandleTest : public testing::TempFolderTest {
 protected:
  TFileHandleTest() : TempFolderTest("pfhandle") {}
};

TEST_F(TFileHandleTest, PositionedWritesAndReadsWithShortReadAtTheEnd) {
  TFileHandle h;
  ASSERT_TRUE(h.Open(Path("f"), false));  // created
  EXPECT_EQ(h.WriteAt("hello", 5, 3), 5);
  EXPECT_EQ(h.Size(), 8);
  EXPECT_EQ(h.WriteAt("J", 1, 0), 1);

  char buf[16] = {};
  EXPECT_EQ(h.ReadAt(buf, 8, 0), 8);
  EXPECT_EQ(std::string(buf, 8), std::string("J\0\0hello", 8));
  EXPECT_EQ(h.ReadAt(buf, 10, 6), 2);  // only two bytes left
  EXPECT_EQ(std::string(buf, 2), "lo");
  EXPECT_EQ(h.ReadAt(buf, 4, 8), 0);
  EXPECT_EQ(h.ReadAt(buf, 4, 1000), 0);
  EXPECT_EQ(h.ReadAt(buf, 0, 0), 0);
  h.Close();
  EXPECT_EQ(Get("f"), std::string("J\0\0hello", 8));
}

TEST_F(TFileHandleTest, NegativeOffsetContinuesAtTheCurrentPosition) {
  TFileHandle h;
  ASSERT_TRUE(h.Open(Path("f"), false));
  EXPECT_EQ(h.WriteAt("abc", 3, 0), 3);
  EXPECT_EQ(h.WriteAt("de", 2, -1), 2);
  EXPECT_EQ(h.Position(), 5);

  char buf[4] = {};
  EXPECT_EQ(h.ReadAt(buf, 2, 1), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_EQ(h.ReadAt(buf, 2, -7), 2);  // any negative offset
  EXPECT_EQ(std::string(buf, 2), "de");

  EXPECT_EQ(h.Seek(-2, 2), 3);
  EXPECT_EQ(h.Seek(1, 1), 4);
  EXPECT_EQ(h.Seek(-5, 1), -1);  // before the start: refused, position kept
  EXPECT_EQ(h.Seek(0, 7), -1);
  EXPECT_EQ(h.Position(), 4);
  EXPECT_EQ(h.WriteAt("X", 1, -1), 1);
  h.Close();
  EXPECT_EQ(Get("f"), "abcdX");
}

TEST_F(TFileHandleTest, ReadOnlyHandleRefusesChangesAndNeedsAnExistingFile) {
  TFileHandle h;
  EXPECT_FALSE(h.Open(Path("missing"), true));
  EXPECT_FALSE(fs::exists(Path("missing")));

  Put("f", "content");
  ASSERT_TRUE(h.Open(Path("f"), true));
  EXPECT_TRUE(h.IsReadOnly());
  EXPECT_EQ(h.WriteAt("x", 1, 0), -1);
  EXPECT_FALSE(h.SetLength(0));
  EXPECT_FALSE(h.SetLength(100));
  char buf[7];
  EXPECT_EQ(h.ReadAt(buf, 7, 0), 7);
  h.Close();
  EXPECT_EQ(Get("f"), "content");
}

TEST_F(TFileHandleTest, BadArgumentsAndClosedHandlesFailWithoutHarm) {
  TFileHandle h;
  char buf[4];
  EXPECT_FALSE(h.IsOpen());
  EXPECT_EQ(h.Size(), -1);
  EXPECT_EQ(h.ReadAt(buf, 4, 0), -1);
  EXPECT_EQ(h.WriteAt("x", 1, 0), -1);
  EXPECT_EQ(h.Seek(0, 0), -1);
  EXPECT_FALSE(h.SetLength(1));
  EXPECT_FALSE(h.Sync());
  EXPECT_FALSE(h.Open("", false));
  EXPECT_FALSE(h.Open(dir.string(), true));  // a directory is not a file
  EXPECT_FALSE(h.Open(dir.string(), false));

  ASSERT_TRUE(h.Open(Path("f"), false));
  EXPECT_EQ(h.WriteAt(nullptr, 1, 0), -1);
  EXPECT_EQ(h.WriteAt("x", 0, 0), -1);
  EXPECT_EQ(h.WriteAt("x", -1, 0), -1);
  EXPECT_EQ(h.ReadAt(nullptr, 1, 0), -1);
  EXPECT_EQ(h.ReadAt(buf, -1, 0), -1);
  EXPECT_FALSE(h.SetLength(-1));
  EXPECT_EQ(h.Size(), 0);
}

TEST_F(TFileHandleTest, OpeningKeepsContentReplacingEmptiesAndReopeningSwitchesFiles) {
  Put("a", "alpha");
  Put("b", "beta");
  TFileHandle h;
  ASSERT_TRUE(h.Open(Path("a"), false));
  EXPECT_EQ(h.Size(), 5);
  EXPECT_EQ(h.WriteAt("A", 1, -1), 1);
  ASSERT_TRUE(h.OpenForReplace(Path("b")));  // closes "a"
  EXPECT_FALSE(h.IsReadOnly());
  EXPECT_EQ(h.Position(), 0);
  EXPECT_EQ(h.Size(), 0);
  EXPECT_EQ(h.WriteAt("B", 1, -1), 1);
  EXPECT_FALSE(h.Open(Path("missing"), true));  // the failed open still closed "b"
  EXPECT_FALSE(h.IsOpen());
  EXPECT_EQ(Get("a"), "Alpha");
  EXPECT_EQ(Get("b"), "B");
}

TEST_F(TFileHandleTest, SetLengthGrowsWithZerosAndCutsBack) {
  TFileHandle h;
  ASSERT_TRUE(h.Open(Path("f"), false));
  ASSERT_EQ(h.WriteAt("data", 4, 0), 4);
  constexpr int64_t kGrown = 3 * 1024 * 1024 + 5;
  ASSERT_TRUE(h.SetLength(kGrown));
  EXPECT_EQ(h.Size(), kGrown);
  std::vector<char> tail(4096, 'x');
  EXPECT_EQ(h.ReadAt(tail.data(), 4096, kGrown - 4096), 4096);
  EXPECT_EQ(tail, std::vector<char>(4096, 0));
  EXPECT_TRUE(h.Sync());

  ASSERT_TRUE(h.SetLength(2));
  EXPECT_EQ(h.Size(), 2);
  ASSERT_TRUE(h.SetLength(2));  // unchanged length is fine
  h.Close();
  EXPECT_EQ(Get("f"), "da");
}

TEST_F(TFileHandleTest, GrowthTheDiskCannotHoldFailsAtOnceAndKeepsTheFile) {
  TFileHandle h;
  ASSERT_TRUE(h.Open(Path("f"), false));
  ASSERT_EQ(h.WriteAt("data", 4, 0), 4);
  EXPECT_FALSE(h.SetLength(int64_t{1} << 62));
  EXPECT_EQ(h.Size(), 4);
  EXPECT_EQ(h.WriteAt("!", 1, 4), 1);
  h.Close();
  EXPECT_EQ(Get("f"), "data!");
}

}  // namespace
}  // namespace pf
