// The download controller's start-up decision against real files and the
// real engine (nothing listens at the package's addresses), and the limits
// and figures it prints, from tables.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "app/DownloadController.h"
#include "app/FigureFormats.h"
#include "app/TaskShares.h"
#include "engine/api/EngineApi.h"
#include "support/TorrentFixture.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

TEST(TaskShares, RatesAreSplitWithAFloorAndNoLimitStaysUnlimitedForEveryTask) {
  const struct {
    int rate, tasks, share;
  } cases[] = {{15, 3, 10},        {0, 1, 32767},  {0, 4, 32767}, {32767, 2, 32767},
               {30000, 4, 7500}, {100, 4, 25},  {100, 0, 100}, {5, 1, 10}};
  for (const auto& c : cases) EXPECT_EQ(TaskRateShare(c.rate, c.tasks), c.share) << c.rate << "/" << c.tasks;
}

TEST(TaskShares, ConnectionBudgetsGiveTheRemainderToTheFirstTasks) {
  const auto four = SplitConnectionBudgets(36, 108, 4);
  ASSERT_EQ(four.size(), 4u);
  for (const auto& s : four) EXPECT_EQ(s.servers, 9);
  const auto uneven = SplitConnectionBudgets(37, 108, 4);
  EXPECT_EQ(uneven[0].servers, 10);
  EXPECT_EQ(uneven[3].servers, 9);
  EXPECT_EQ(uneven[0].peers, 27);
  const auto few = SplitConnectionBudgets(2, 108, 3);
  EXPECT_EQ(few[2].servers, 1);  // never below one
  EXPECT_TRUE(SplitConnectionBudgets(36, 108, 0).empty());
}

TEST(FigureFormats, SizesSpeedsAndPercents) {
  const struct {
    uint64_t size;
    const char* text;
  } sizes[] = {{0, ""}, {1023, "1023 B"}, {1024, "1.0 KB"}, {3145216, "3.0 MB"}, {5ULL << 30, "5.0 GB"},
               {3ULL << 40, "3.0 TB"}};
  for (const auto& c : sizes) EXPECT_EQ(FormatSize(c.size), c.text) << c.size;
  const struct {
    uint32_t speed;
    const char* text;
  } speeds[] = {{1023, "1023 B/s"}, {1024, "1.0 KB/s"}, {1048576, "1.0 MB/s"}, {0xCCCCCCCBu, "3.2 GB/s"},
                {0xCCCCCCCCu, "未知"}};
  for (const auto& c : speeds) EXPECT_EQ(FormatSpeed(c.speed), c.text) << c.speed;
  const struct {
    uint32_t value;
    const char* text;
  } percents[] = {{0, "0%"}, {5000, "50%"}, {5001, "50.01%"}, {4766, "47.66%"}, {10000, "100%"}};
  for (const auto& c : percents) EXPECT_EQ(FormatPercent(c.value), c.text) << c.value;
}

// A package of four small files with torrents, in a folder of its own.
class ControllerStart : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("pf-controller-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root);
    fs::create_directories(root / "data");
    fs::create_directories(root / "save");
    const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
    for (int i = 0; i < 4; ++i) {
      fixtures.push_back(std::make_unique<testing::TorrentFixture>(root, names[i], 40000 + i * 1000, 16384, 30 + i));
      PackageFile& f = package.files[i];
      f.fileName = names[i];
      f.size = fixtures.back()->content.size();
      f.md5 = "0123456789abcdef0123456789abcd0" + std::to_string(i);
      f.url = "http://127.0.0.1:1/" + f.fileName;
      f.torrent = fixtures.back()->bytes;
    }
    package.packageId = "feedfacefeedfacefeedfacefeedface";
    SetP2PEnabled(0);
    SetMessageBoxPresenter([this](void*, const std::string& text, const std::string&, uint32_t) {
      std::lock_guard<std::mutex> lock(messagesMutex);
      messages.push_back(text);
    });
  }
  void TearDown() override {
    StopEngine();
    SetMessageBoxPresenter(nullptr);
    SetP2PEnabled(1);
    fs::remove_all(root);
  }
  std::unique_ptr<DownloadController> Controller() {
    return std::make_unique<DownloadController>(package, (root / "data").string(), 36);
  }
  std::string Save(int i) const { return (root / "save" / package.files[i].fileName).string(); }
  void PutFile(int i) { std::ofstream(Save(i), std::ios::binary) << fixtures[i]->content; }
  // The record of a started download: its keys and the save path.
  TaskRecordFile RecordStarted() {
    TaskRecordFile record((root / "data" / (package.packageId + ".pfconf")).string());
    TaskRecordFile::RecordWrite write;
    write.taskHash = package.packageId;
    write.installerName = package.InstallerName();
    record.WriteRecord(write);
    record.WriteSavePath((root / "save").string());
    return record;
  }
  // What a finished download leaves: the files, their finish info and COMPLETE.
  void RecordFinished() {
    for (int i = 0; i < 4; ++i) PutFile(i);
    TaskRecordFile record = RecordStarted();
    for (int i = 0; i < 4; ++i) record.WriteFinishInfo(i, (root / "save").string(), package.files[i].fileName);
    record.MarkComplete();
  }
  bool SawMessage(const std::string& text) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> lock(messagesMutex);
        for (const auto& m : messages)
          if (m.rfind(text, 0) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path root;
  PackageTable package;
  std::vector<std::unique_ptr<testing::TorrentFixture>> fixtures;
  std::mutex messagesMutex;
  std::vector<std::string> messages;
};

TEST_F(ControllerStart, NoRecordIsAFreshStart) {
  auto c = Controller();
  EXPECT_EQ(c->DecideStart(), 0);
  EXPECT_EQ(c->State(), DownloadState::kReady);
  EXPECT_EQ(fs::path(c->SavePath()).filename(), "QLN156");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c->Handle(i), 0u);
}

TEST_F(ControllerStart, ACompleteUntouchedPackageIsFinishedWithoutATask) {
  RecordFinished();
  auto c = Controller();
  EXPECT_EQ(c->DecideStart(), 1);
  EXPECT_EQ(c->State(), DownloadState::kFinished);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(c->IsFileComplete(i)) << i;
    EXPECT_EQ(c->Handle(i), 0u) << i;
  }
}

TEST_F(ControllerStart, ATouchedFileIsReloadedAndTheOthersStayComplete) {
  RecordFinished();
  const auto when = fs::last_write_time(Save(2));
  fs::last_write_time(Save(2), when + std::chrono::seconds(5));
  auto c = Controller();
  EXPECT_EQ(c->DecideStart(), 1);
  EXPECT_EQ(c->State(), DownloadState::kReload);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(c->IsFileComplete(i), i != 2) << i;
    EXPECT_EQ(c->Handle(i) != 0, i == 2) << i;
  }
}

TEST_F(ControllerStart, EverythingDeletedGoesBackToReadyAndForgetsTheRecord) {
  RecordFinished();
  for (int i = 0; i < 4; ++i) fs::remove(Save(i));
  auto c = Controller();
  EXPECT_EQ(c->DecideStart(), 0);
  EXPECT_EQ(c->State(), DownloadState::kReady);
  EXPECT_FALSE(fs::exists(root / "data" / (package.packageId + ".pfconf")));
  EXPECT_TRUE(SawMessage("目标文件被删除或移动，请重新下载"));
}

TEST_F(ControllerStart, PartialFilesAreResumed) {
  RecordStarted();
  std::ofstream(Save(1) + ".pftmp", std::ios::binary) << fixtures[1]->content.substr(0, 16384);
  auto c = Controller();
  EXPECT_EQ(c->DecideStart(), 1);
  EXPECT_EQ(c->State(), DownloadState::kRecover);
  for (int i = 0; i < 4; ++i) EXPECT_NE(c->Handle(i), 0u) << i;  // no finish info: every file goes on
}

}  // namespace
}  // namespace pf
