// Creating tasks while other tasks set up their metadata: a new task checks
// every registered one for duplicates (reading their source lists) while
// their work threads add the torrents' trackers to those lists. Run under
// ThreadSanitizer, this shows a race at once if either side forgets the lock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/EngineApi.h"
#include "support/TempFolder.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

class TaskCreationRace : public testing::TempFolderTest {
 protected:
  TaskCreationRace() : TempFolderTest("task-race") {}
  void SetUp() override {
    TempFolderTest::SetUp();
    ASSERT_EQ(StartEngine("race"), kOk);
    // Trackers join the sources, but nobody is called.
    SetP2PEnabled(0);
  }
  void TearDown() override {
    EXPECT_EQ(StopEngine(), kOk);
    SetP2PEnabled(1);
    TempFolderTest::TearDown();
  }

  // A torrent over small content with many trackers (none of them there).
  std::string TorrentWithTrackers(int index, int trackers) {
    testing::TorrentFixture base(dir, "file" + std::to_string(index), 65536, 16384, 100 + index);
    std::string list;
    for (int t = 0; t < trackers; ++t) {
      const std::string url = "http://127.0.0.1:1/announce" + std::to_string(index) + "-" + std::to_string(t);
      list += "l" + std::to_string(url.size()) + ":" + url + "e";
    }
    const std::string first = "http://127.0.0.1:1/announce" + std::to_string(index) + "-0";
    // The fixture's bytes are "d4:info...e"; announce keys sort before info.
    const std::string bytes = "d8:announce" + std::to_string(first.size()) + ":" + first + "13:announce-listl" + list +
                              "e" + base.bytes.substr(1);
    const std::string path = Path("race" + std::to_string(index) + ".torrent");
    Put("race" + std::to_string(index) + ".torrent", bytes);
    return path;
  }
};

TEST_F(TaskCreationRace, DuplicateChecksReadSourcesWhileTasksAddTheirTrackers) {
  constexpr int kTasks = 12;
  std::vector<std::string> torrents;
  for (int i = 0; i < kTasks; ++i) torrents.push_back(TorrentWithTrackers(i, 64));

  std::vector<TaskHandle> keyed;
  for (int i = 0; i < kTasks; ++i) {
    TaskParams p{};
    std::snprintf(p.key, sizeof p.key, "file://%s", torrents[i].c_str());
    std::snprintf(p.target, sizeof p.target, "%s", Path("data" + std::to_string(i) + ".bin").c_str());
    p.sourceList = "";
    p.flags = kTaskP2SP | kTaskTargetIsFile;
    ASSERT_EQ(CreateTask(&p), kOk) << i;
    keyed.push_back(p.handle);
    // At once, while that task reads its torrent: plain tasks whose
    // duplicate check walks every keyed task's source list.
    for (int j = 0; j < 4; ++j) {
      const std::string source = "http://127.0.0.1:1/plain" + std::to_string(i) + "-" + std::to_string(j);
      TaskParams q{};
      q.sourceList = source.c_str();
      q.flags = 0;
      EXPECT_EQ(CreateTask(&q), kOk) << source;
    }
  }
  // The same plain source again is a duplicate.
  TaskParams again{};
  again.sourceList = "http://127.0.0.1:1/plain0-0";
  EXPECT_EQ(CreateTask(&again), kErrDuplicateTask);

  // Every keyed task got its metadata.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (TaskHandle handle : keyed) {
    TaskInfo info{};
    while (GetTaskInfo(handle, &info) == kOk && info.totalKB == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(info.totalKB, 64) << handle;
  }
}

}  // namespace
}  // namespace pf
