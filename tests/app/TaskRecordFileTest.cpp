// The task record and the task-link file, as files on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/TaskLinkFile.h"
#include "app/TaskRecordFile.h"
#include "platform/LocalTime.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TaskRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("pf-record-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir / "QLN156");
    record.SetPath((dir / "demo.pfconf").string());
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
  TaskRecordFile record;
  testing::ScopedProcessState processState;
};

TEST_F(TaskRecord, WritesEveryKeyTheWayTheProfileFunctionsDo) {
  record.WriteSavePath("/media/d/QLN156");
  TaskRecordFile::RecordWrite write;
  write.taskHash = "demo";
  write.withFiles = true;
  write.urls = {"http://h/0", "http://h/1", "http://h/2", "http://h/3"};
  write.fileNames = {"setup.exe", "d1.pak", "d2.pak", "d3.pak"};
  write.installerName = "setup.exe";
  write.createTick = 123456;
  write.createTime = "2026-12-10 08:09:10";
  record.WriteRecord(write);
  record.WriteReloadedFile(2, "d2.pak");
  record.WriteDownloadTime(4000000000u);
  record.WriteLastSize(5ULL << 30);
  record.WriteCloseSelection(2);
  record.MarkComplete();
  // Written again: replaced in place, not appended.
  record.WriteSavePath("/media/e/QLN156");

  const std::string expected =
      "[PelicanfetchTask]\r\n"
      "PelicanfetchTaskSavePath=/media/e/QLN156\r\n"
      "PelicanfetchTaskHash=demo\r\n"
      "PelicanfetchTaskCreateTimeStamp=123456\r\n"
      "PelicanfetchTaskCreateTime=2026-12-10 08:09:10\r\n"
      "PelicanfetchHttpTaskUrl0=http://h/0\r\n"
      "PelicanfetchHttpTaskFile0=setup.exe\r\n"
      "PelicanfetchHttpTaskUrl1=http://h/1\r\n"
      "PelicanfetchHttpTaskFile1=d1.pak\r\n"
      "PelicanfetchHttpTaskUrl2=http://h/2\r\n"
      "PelicanfetchHttpTaskFile2=d2.pak\r\n"
      "PelicanfetchHttpTaskUrl3=http://h/3\r\n"
      "PelicanfetchHttpTaskFile3=d3.pak\r\n"
      "PelicanfetchTaskEntrence=setup.exe\r\n"
      "PelicanfetchTaskFloder=QLN156\r\n"
      "PelicanfetchTask2=d2.pak\r\n"
      "PelicanfetchTaskDownloadTime=4000000000\r\n"
      "PelicanfetchTaskLastSizeHigh=2\r\n"
      "PelicanfetchTaskLastSizeLow=1073741824\r\n"
      "PelicanfetchCloseSelection=2\r\n"
      "PelicanfetchTaskIsComplete=COMPLETE\r\n";
  EXPECT_EQ(Slurp(record.Path()), expected);

  EXPECT_EQ(record.SavePath(), "/media/e/QLN156");
  EXPECT_EQ(record.TaskHash("pkg"), "demo");
  EXPECT_TRUE(record.HasCreateTime());
  EXPECT_EQ(record.Entrance("other.exe"), "setup.exe");
  EXPECT_TRUE(record.IsComplete());
  EXPECT_EQ(record.DownloadTime(), 4000000000u);
  EXPECT_EQ(record.LastSize(), 5ULL << 30);
  EXPECT_EQ(record.ReadCloseSelection(), 2);
}

TEST_F(TaskRecord, ReadsAHandWrittenRecordWithDefaults) {
  std::ofstream(record.Path(), std::ios::binary)
      << "[pelicanfetchtask]\r\n"
         "  PELICANFETCHTASKSAVEPATH = /data/QLN156  \r\n"
         "PelicanfetchDownloadInfo1=/data/res/d1.pfinfo\r\n"
         "PelicanfetchTaskIsComplete=complete\r\n"
         "PelicanfetchTaskLastSizeHigh=abc\r\n"
         "PelicanfetchTaskLastSizeLow=2147483647\r\n"
         "PelicanfetchTaskDownloadTime=\r\n"
         "[PelicanfetchFinishInfo]\r\n";
  EXPECT_EQ(record.SavePath(), "/data/QLN156");
  EXPECT_EQ(record.ResumePath(1), "/data/res/d1.pfinfo");
  EXPECT_EQ(record.ResumePath(0), "");
  EXPECT_FALSE(record.IsComplete());  // only the exact text counts
  EXPECT_EQ(record.LastSize(), 2147483647u);
  EXPECT_EQ(record.TaskHash("pkg"), "pkg");
  EXPECT_EQ(record.Entrance("setup.exe"), "setup.exe");
  EXPECT_FALSE(record.HasCreateTime());
  EXPECT_EQ(record.ReadCloseSelection(), 0);

  TaskRecordFile::RecordWrite write;  // defaults for folder and entrance
  write.installerName = "setup.exe";
  record.WriteRecord(write);
  EXPECT_EQ(record.Entrance(""), "setup.exe");
  EXPECT_TRUE(record.HasCreateTime());
  EXPECT_NE(Slurp(record.Path()).find("PelicanfetchTaskFloder=QLN156\r\n"), std::string::npos);
  EXPECT_EQ(Slurp(record.Path()).find("PelicanfetchHttpTaskUrl"), std::string::npos);
}

TEST_F(TaskRecord, CloseSelection) {
  TaskRecordFile unset;
  EXPECT_EQ(unset.ReadCloseSelection(), -1);
  unset.WriteCloseSelection(1);  // no path: nothing written, nothing thrown
  EXPECT_EQ(record.ReadCloseSelection(), -1);  // no file yet
  record.WriteSavePath("/x");
  EXPECT_EQ(record.ReadCloseSelection(), 0);
  for (uint32_t choice : {1u, 2u}) {
    record.WriteCloseSelection(choice);
    EXPECT_EQ(record.ReadCloseSelection(), static_cast<int>(choice));
  }
  EXPECT_TRUE(record.Delete());
  EXPECT_EQ(record.ReadCloseSelection(), -1);
}

TEST_F(TaskRecord, LastSizeIsWrittenWhenItChangesWhileDownloading) {
  LastSizeTracker tracker;
  struct Step {
    uint64_t total;
    bool downloading, written;
  } steps[] = {{0, true, false}, {5ULL << 30, true, true}, {5ULL << 30, true, false},
               {6ULL << 30, false, false}, {6ULL << 30, true, false}, {7ULL << 30, true, true}};
  for (const auto& s : steps) EXPECT_EQ(tracker.Update(record, s.total, s.downloading), s.written) << s.total;
  EXPECT_EQ(record.LastSize(), 7ULL << 30);
  record.WriteLastSize(5ULL << 30);
  const std::string text = Slurp(record.Path());
  EXPECT_NE(text.find("PelicanfetchTaskLastSizeHigh=2\r\nPelicanfetchTaskLastSizeLow=1073741824\r\n"),
            std::string::npos);
  record.WriteLastSize((1ULL << 31) - 1);
  EXPECT_EQ(record.LastSize(), (1ULL << 31) - 1);
}

TEST_F(TaskRecord, DownloadTimeCountsOnFromTheStoredValue) {
  record.WriteDownloadTime(100);
  DownloadTimeCounter counter;
  EXPECT_EQ(counter.Tick(record), 101u);
  EXPECT_EQ(counter.Tick(record), 102u);
  EXPECT_EQ(record.DownloadTime(), 102u);
  EXPECT_EQ(counter.ActiveSeconds(), 2u);
  // Another writer set the record back: the value is not written below the
  // highest this run has seen.
  record.WriteDownloadTime(5);
  EXPECT_EQ(counter.Tick(record), 6u);
  EXPECT_EQ(record.DownloadTime(), 5u);
  counter.Reset();
  EXPECT_EQ(counter.Tick(record), 6u);
  EXPECT_EQ(record.DownloadTime(), 6u);
}

int64_t EightHoursEast() { return 8 * 3600; }
int64_t NineHoursEast() { return 9 * 3600; }

TEST_F(TaskRecord, FinishInfoNoticesTouchedFilesAndClockChanges) {
  const std::string folder = (dir / "QLN156").string();
  std::ofstream(dir / "QLN156" / "d1.pak", std::ios::binary) << "payload";
  platform::SetUtcOffsetSource(EightHoursEast);

  EXPECT_FALSE(record.CheckFinishInfo(1, folder, "d1.pak"));  // nothing stored
  record.WriteFinishInfo(1, folder + "/", "d1.pak");
  EXPECT_TRUE(record.CheckFinishInfo(1, folder, "d1.pak"));
  const std::string text = Slurp(record.Path());
  EXPECT_EQ(text.rfind("[PelicanfetchFinishInfo]\r\nPelicanfetchTask1WriteTimeHigh=", 0), 0u);
  EXPECT_NE(text.find("PelicanfetchTask1FileSizeHigh=0\r\nPelicanfetchTask1FileSizeLow=7\r\n"), std::string::npos);

  platform::SetUtcOffsetSource(NineHoursEast);  // time zone or daylight saving changed
  EXPECT_FALSE(record.CheckFinishInfo(1, folder, "d1.pak"));
  platform::SetUtcOffsetSource(EightHoursEast);
  EXPECT_TRUE(record.CheckFinishInfo(1, folder, "d1.pak"));

  fs::last_write_time(dir / "QLN156" / "d1.pak",
                      fs::last_write_time(dir / "QLN156" / "d1.pak") + std::chrono::seconds(1));
  EXPECT_FALSE(record.CheckFinishInfo(1, folder, "d1.pak"));

  record.WriteFinishInfo(3, folder, "absent.pak");  // writes nothing
  EXPECT_EQ(Slurp(record.Path()).find("PelicanfetchTask3"), std::string::npos);
  EXPECT_FALSE(record.CheckFinishInfo(3, folder, "absent.pak"));
}

TEST(TaskLinkFile, HttpBudgetWithinLimits) {
  const fs::path path = fs::temp_directory_path() / "pf-tasklink.ini";
  struct Case {
    const char* content;
    int budget;
  } cases[] = {
      {"[PelicanfetchTask]\r\nPelicanfetchTaskLink=5\r\n", 36},
      {"[PelicanfetchTask]\r\nPelicanfetchTaskLink=500\r\n", 36},
      {"[PelicanfetchTask]\r\nPelicanfetchTaskLink=10\r\n", 10},
      {"[PelicanfetchTask]\r\nPelicanfetchTaskLink=200\r\n", 200},
      {"[PELICANFETCHTASK]\npelicanfetchtasklink = 64\n", 64},
      {"[PelicanfetchTask]\r\nPelicanfetchTaskLink=many\r\n", 36},
      {"[Other]\r\nPelicanfetchTaskLink=50\r\n", 36},
      {"\xFF\xFE garbage [[[ =\r\n[PelicanfetchTask\r\n=7", 36},
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.content;
    EXPECT_EQ(TaskLinkFile::HttpConnectionBudget(path.string()), c.budget) << c.content;
  }
  fs::remove(path);
  EXPECT_EQ(TaskLinkFile::HttpConnectionBudget(path.string()), 36);
}

}  // namespace
}  // namespace pf
