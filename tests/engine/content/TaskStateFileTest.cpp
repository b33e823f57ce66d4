#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/content/TaskStateFile.h"

namespace pf {
namespace {

class TaskStateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("pfstate-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    path = (dir / "task.pfinfo").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void WriteRaw(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  std::string ReadRaw() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir;
  std::string path;
};

TEST_F(TaskStateFileTest, WritesKeysInOrderSkippingEmptyValuesAndReadsThemBack) {
  const TaskStateStrings written{"d4:infodee", "", "bitsbits", "abc"};
  ASSERT_TRUE(TaskStateFile::Write(path, written));
  EXPECT_EQ(ReadRaw(), "d4:bits8:bitsbits5:seeds3:abc7:torrent10:d4:infodeee");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary file left";

  TaskStateStrings read{"old", "keep-part", "old", "old"};
  ASSERT_TRUE(TaskStateFile::Read(path, read));
  EXPECT_EQ(read.torrent, written.torrent);
  EXPECT_EQ(read.part, "keep-part") << "a key that is not there leaves the value alone";
  EXPECT_EQ(read.bits, written.bits);
  EXPECT_EQ(read.seeds, written.seeds);

  ASSERT_TRUE(TaskStateFile::Write(path, TaskStateStrings{"", "", "xyz", ""}));
  EXPECT_EQ(ReadRaw(), "d4:bits3:xyze") << "the old file is replaced whole";
  EXPECT_TRUE(TaskStateFile::Delete(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(TaskStateFileTest, ReadTakesOnlyWhatItKnows) {
  struct Case {
    const char* name;
    std::string bytes;
    bool readable;
    TaskStateStrings expected;
  };
  const TaskStateStrings before{"T0", "P0", "B0", "S0"};
  const Case cases[] = {
      {"newer build with extra keys",
       "d3:aaad1:xi1ee4:bits5:bbbbb5:extrai7e4:part3:ppp7:torrent4:tttt7:versionl1:xee", true,
       {"tttt", "ppp", "bbbbb", "S0"}},
      {"values of two bytes or less are placeholders", "d4:bits2:bb4:part0:7:torrent4:tttte", true,
       {"tttt", "P0", "B0", "S0"}},
      {"a value that is no text", "d4:bitsi12345e4:partd1:a3:abcee", true, before},
      {"garbage", "\x01\x02garbage", false, before},
      {"truncated", "d4:bits5:bbbbb7:torrent40:tt", false, before},
      {"a list, not a dictionary", "l4:bits5:bbbbbe", false, before},
      {"empty file", "", false, before},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteRaw(c.bytes);
    TaskStateStrings read = before;
    EXPECT_EQ(TaskStateFile::Read(path, read), c.readable);
    EXPECT_EQ(read.torrent, c.expected.torrent);
    EXPECT_EQ(read.part, c.expected.part);
    EXPECT_EQ(read.bits, c.expected.bits);
    EXPECT_EQ(read.seeds, c.expected.seeds);
  }
  TaskStateStrings untouched = before;
  EXPECT_FALSE(TaskStateFile::Read((dir / "missing").string(), untouched));
}

TEST_F(TaskStateFileTest, LeftoverTemporaryFromACrashDoesNotDisturb) {
  ASSERT_TRUE(TaskStateFile::Write(path, TaskStateStrings{"", "", "first", ""}));
  // A crash in the middle of the next write leaves a torn temporary file.
  std::ofstream(path + ".new", std::ios::binary) << "d4:bits6:sec";
  TaskStateStrings read;
  ASSERT_TRUE(TaskStateFile::Read(path, read));
  EXPECT_EQ(read.bits, "first");
  ASSERT_TRUE(TaskStateFile::Write(path, TaskStateStrings{"", "", "second", ""}));
  ASSERT_TRUE(TaskStateFile::Read(path, read));
  EXPECT_EQ(read.bits, "second");
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

}  // namespace
}  // namespace pf
