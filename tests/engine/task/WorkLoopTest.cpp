// The work loop run for real on its thread, with blocks fed to the piece map
// by a test source instead of network peers, under an engine clock that the
// test moves: time-outs of minutes and hours pass in a few passes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/content/TaskStateFile.h"
#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineClock.h"
#include "engine/task/TWorkThread.h"
#include "platform/DebugOutput.h"
#include "support/FeedingWork.h"
#include "support/ManualClock.h"
#include "support/ScopedProcessState.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using testing::FeedingWork;

// Waits for the loop's thread to end (real time: it has work to finish).
template <typename Predicate>
bool WaitUntil(Predicate done, int milliseconds = 15000) {
  for (int waited = 0; waited < milliseconds; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Waits for `count` more passes of the loop; false when the run ends first.
// Two passes after the clock moved, one whole pass has read the new time.
bool Passes(FeedingWork& work, int count) {
  const int target = work.passes + count;
  for (int waited = 0; waited < 15000; ++waited) {
    if (work.passes >= target) return true;
    if (!work.IsRunning()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class WorkLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("pfwork-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "save");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Moves the clock on a second at a time, each seen by the loop, until
  // `done` or until `seconds` have passed.
  template <typename Predicate>
  bool Run(FeedingWork& work, Predicate done, uint32_t seconds = 600) {
    for (uint32_t s = 0; s < seconds && !done(); ++s) {
      clock.AdvanceSeconds(1);
      Passes(work, 2);
    }
    return done();
  }

  std::string Target(const testing::TorrentFixture& t) const { return (dir / "save" / t.name).string(); }
  std::string StateFile() const { return (dir / "task.pfinfo").string(); }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  fs::path dir;
  const uint32_t kFlags = kTaskP2SP | kTaskTargetIsFile;
  // Declared before the work objects of the tests, so it outlives their threads.
  testing::ManualClock clock;
};

TEST_F(WorkLoop, CompleteTaskSeedsForItsWindowThenEndsAndDeletesItsState) {
  testing::TorrentFixture t(dir, "game.pak", 700000, 65536);
  FeedingWork work(t.path, t.content, t.PieceCount());
  work.Configure(Target(t), StateFile(), kFlags);
  std::vector<std::string> lines;
  std::mutex linesMutex;
  testing::ScopedProcessState processState;
  platform::SetDebugOutputSink([&](const char* line) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.emplace_back(line);
  });
  CreateLog();

  ASSERT_EQ(work.StartDownload(), kOk);
  ASSERT_TRUE(Run(work, [&] {
    int32_t complete = 0;
    work.IsComplete(&complete);
    return complete == 1;
  }));
  TaskInfo info;
  work.GetTaskInfo(&info);
  EXPECT_EQ(info.state, kStateComplete);
  EXPECT_EQ(info.httpBytes, 700000);

  // The window is 12 hours from completion, which came a few seconds ago.
  clock.AdvanceSeconds(12 * 3600 - 60);
  EXPECT_TRUE(Passes(work, 3)) << "a complete task keeps serving for its seed window";
  ASSERT_TRUE(Run(work, [&] { return !work.IsRunning(); }, 120));
  DestroyLog();
  platform::SetDebugOutputSink(nullptr);
  EXPECT_EQ(ReadFile(Target(t)), t.content) << "the file is complete under its final name";
  EXPECT_FALSE(fs::exists(Target(t) + ".pftmp"));
  EXPECT_FALSE(fs::exists(StateFile())) << "a complete task leaves no state file";
  bool logged = false;
  for (const auto& line : lines) logged |= line.find(Target(t) + " is Download Complete") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST_F(WorkLoop, WithoutASeedWindowTheRunNeverEndsByCompletion) {
  testing::TorrentFixture t(dir, "data1.pak", 200000, 65536);
  FeedingWork work(t.path, t.content, t.PieceCount());
  work.Configure(Target(t), StateFile(), kFlags);
  work.MutableConfig().seedHours = 0;
  ASSERT_EQ(work.StartDownload(), kOk);
  ASSERT_TRUE(Run(work, [&] { return work.PublishedStatus().doneBytes == 200000; }));
  clock.AdvanceSeconds(1000 * 3600);
  EXPECT_FALSE(Run(work, [&] { return !work.IsRunning(); }, 30));
  EXPECT_EQ(work.StopWork(), kOk);
}

TEST_F(WorkLoop, StoppedHalfwayTheTaskResumesFromItsStateFile) {
  testing::TorrentFixture t(dir, "data2.pak", 1000000, 65536);  // 16 pieces
  {
    FeedingWork first(t.path, t.content, 8);
    first.Configure(Target(t), StateFile(), kFlags);
    ASSERT_EQ(first.StartDownload(), kOk);
    ASSERT_TRUE(Run(first, [&] { return first.PublishedStatus().finishedPieces >= 8; }));
    ASSERT_EQ(first.StopWork(), kOk);
    EXPECT_EQ(first.PublishedStatus().runPhase, TaskStatus::kIdle);
  }
  TaskStateStrings saved;
  ASSERT_TRUE(TaskStateFile::Read(StateFile(), saved));
  EXPECT_EQ(saved.torrent, t.bytes);
  EXPECT_FALSE(saved.bits.empty()) << "the resume record is saved";

  FeedingWork second(t.path, t.content, 0);
  second.Configure(Target(t), StateFile(), kFlags);
  ASSERT_EQ(second.ContinueDownload(), kOk);
  ASSERT_TRUE(Run(second, [&] { return second.PublishedStatus().checkedBytes == 1000000; }));
  EXPECT_EQ(second.PublishedStatus().finishedPieces, 8) << "the held half is known again";
  second.SetFeedPieces(t.PieceCount());
  ASSERT_TRUE(Run(second, [&] { return second.PublishedStatus().doneBytes == 1000000; }));
  second.StopWork();
  EXPECT_EQ(ReadFile(Target(t)), t.content);
}

TEST_F(WorkLoop, ANewTorrentFromTheKeySourceReplacesTheMapKeepingHeldPieces) {
  testing::TorrentFixture t(dir, "data7.pak", 1000000, 65536);
  testing::TorrentFixture finer(dir / "save", "data7.pak", 1000000, 32768);  // same bytes
  ASSERT_EQ(finer.content, t.content);
  FeedingWork work(t.path, t.content, 6);
  work.Configure(Target(t), StateFile(), kFlags);
  ASSERT_EQ(work.StartDownload(), kOk);
  ASSERT_TRUE(Run(work, [&] { return work.PublishedStatus().finishedPieces >= 6; }));
  work.DeliverTorrent(finer.bytes);
  ASSERT_TRUE(Run(work, [&] { return work.PublishedStatus().pieceLength == 32768; }));
  EXPECT_EQ(work.PublishedStatus().finishedPieces, 12) << "six 64 KB pieces are twelve 32 KB ones";
  uint8_t bits[8] = {};
  EXPECT_EQ(work.CopyPublishedBitmap(bits, sizeof(bits)), finer.PieceCount());
  EXPECT_EQ(bits[0], 0xFF);
  EXPECT_EQ(bits[1], 0xF0);

  work.DeliverTorrent("d4:infod4:name1:xee");  // unusable: the task goes on with its map
  ASSERT_TRUE(Passes(work, 3)) << "each pass looks for a new torrent";
  EXPECT_EQ(work.PublishedStatus().pieceLength, 32768);
  EXPECT_EQ(work.PublishedStatus().stateCode, 0);
  EXPECT_TRUE(work.IsRunning());
  work.StopWork();
}

TEST_F(WorkLoop, EndsWithTheCodeOfWhatWentWrong) {
  testing::TorrentFixture t(dir, "data3.pak", 100000, 65536);
  struct Case {
    const char* name;
    uint32_t flags;
    std::string key;
    const char* sources;
    uint32_t limit;  // seconds after the start that the run still lives through
    int32_t state;
  } cases[] = {
      {"unreadable torrent", kTaskP2SP, "file://" + (dir / "missing.torrent").string(), "", 0, kStateTorrentUnreadable},
      {"no metadata in time", kTaskP2SP, "http://127.0.0.1:1/x.torrent", "http://127.0.0.1:1/x", 45, kStateNoMetadata},
      {"no usable source", 0, "", "gopher://127.0.0.1/x", 15, kStateGaveUp},
  };
  for (const auto& c : cases) {
    FeedingWork work(t.path, t.content, 0);
    TaskParams params{};
    std::snprintf(params.key, sizeof(params.key), "%s", c.key.c_str());
    params.sourceList = c.sources;
    params.flags = c.flags;
    work.ApplyParams(params, true);
    ASSERT_EQ(work.StartDownload(), kOk) << c.name;
    if (c.limit > 0) {
      clock.AdvanceSeconds(c.limit);
      EXPECT_TRUE(Passes(work, 3)) << c.name << ": ended before its limit";
      clock.AdvanceSeconds(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return !work.IsRunning(); })) << c.name;
    EXPECT_EQ(work.PublishedStatus().stateCode, c.state) << c.name;
    EXPECT_EQ(work.PublishedStatus().runPhase, TaskStatus::kIdle) << c.name;
  }
}

TEST_F(WorkLoop, AKeyWithoutSourcesEndsAtOnceUnchanged) {
  testing::TorrentFixture t(dir, "data4.pak", 100000, 65536);
  FeedingWork work(t.path, t.content, 0);
  TaskParams params{};
  std::snprintf(params.key, sizeof(params.key), "http://127.0.0.1:1/x.torrent");
  params.sourceList = "";
  params.flags = kTaskP2SP;
  work.ApplyParams(params, true);
  ASSERT_EQ(work.StartDownload(), kOk);
  ASSERT_TRUE(WaitUntil([&] { return !work.IsRunning(); }, 2000));
  EXPECT_EQ(work.PublishedStatus().stateCode, 0);
}

TEST_F(WorkLoop, NoCompletedPieceFor900SecondsStopsTheRunWithoutACode) {
  testing::TorrentFixture t(dir, "data5.pak", 300000, 65536);
  FeedingWork work(t.path, t.content, 1);
  work.Configure(Target(t), StateFile(), kFlags);
  ASSERT_EQ(work.StartDownload(), kOk);
  ASSERT_TRUE(Run(work, [&] { return work.PublishedStatus().finishedPieces == 1; }));
  // The piece completed a second or two before it was published.
  clock.AdvanceSeconds(895);
  EXPECT_TRUE(Passes(work, 3)) << "895 seconds are not yet too many";
  // Checked at the upkeep, every five seconds.
  ASSERT_TRUE(Run(work, [&] { return !work.IsRunning(); }, 15));
  EXPECT_EQ(work.PublishedStatus().stateCode, 0);
  EXPECT_EQ(work.PublishedStatus().runPhase, TaskStatus::kIdle);
  EXPECT_TRUE(fs::exists(StateFile())) << "the state is saved as after any stop";
  EXPECT_EQ(work.ResumeWork(), kOk) << "the task can be started again";
  work.StopWork();
}

TEST_F(WorkLoop, StorageEventsStopTheTaskWithTheirCodes) {
  testing::TorrentFixture t(dir, "data6.pak", 100000, 65536);
  for (auto [code, state] : {std::pair{PieceEvent::kDiskWait, kStateDiskFull},
                             std::pair{PieceEvent::kSizeUnreadable, kStateSizeUnreadable}}) {
    FeedingWork work(t.path, t.content, 0);
    work.Configure(Target(t), StateFile(), kFlags);
    ASSERT_EQ(work.StartDownload(), kOk);
    ASSERT_TRUE(Run(work, [&] { return work.PublishedStatus().checkedBytes == 100000; }));
    work.OnPieceEvent(PieceEvent::Of(code));
    ASSERT_TRUE(WaitUntil([&] { return !work.IsRunning(); }));
    EXPECT_EQ(work.PublishedStatus().stateCode, state);
  }
}

}  // namespace
}  // namespace pf
