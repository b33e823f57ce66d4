// The call interface, exercised through its public header only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/api/EngineApi.h"
#include "engine/base/CPelicanfetchLog.h"
#include "platform/DebugOutput.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<TaskParams> Params(const std::string& sources, uint32_t flags,
                                   const std::string& target = "", const std::string& key = "") {
  auto p = std::make_unique<TaskParams>();
  std::memset(p.get(), 0, sizeof(TaskParams));
  p->flags = flags;
  std::snprintf(p->target, sizeof(p->target), "%s", target.c_str());
  std::snprintf(p->key, sizeof(p->key), "%s", key.c_str());
  // The source text must outlive the call only; keep it with the record.
  static thread_local std::vector<std::unique_ptr<std::string>> texts;
  texts.push_back(std::make_unique<std::string>(sources));
  p->sourceList = texts.back()->c_str();
  return p;
}

class EngineApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(StartEngine("test"), kOk); }
  void TearDown() override { EXPECT_EQ(StopEngine(), kOk); }

  TaskHandle Create(const std::string& sources, uint32_t flags = 0, const std::string& target = "") {
    auto p = Params(sources, flags, target);
    EXPECT_EQ(CreateTask(p.get()), kOk);
    return p->handle;
  }
};

TEST_F(EngineApi, CreateTaskRejectsNullAndHandsOutDistinctHandles) {
  EXPECT_EQ(CreateTask(nullptr), kErrBadArgument);
  EXPECT_EQ(RecoverTask(nullptr, 1), kErrBadArgument);
  const TaskHandle a = Create("http://127.0.0.1:1/a");
  const TaskHandle b = Create("http://127.0.0.1:1/b");
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  TaskInfo info;
  EXPECT_EQ(GetTaskInfo(a, &info), kOk);
  EXPECT_EQ(info.state, 0);
}

TEST_F(EngineApi, StartEngineTwiceIsHarmless) { EXPECT_EQ(StartEngine("again"), kOk); }

TEST_F(EngineApi, CreationIsLoggedWithLabelHandleAndTarget) {
  std::vector<std::string> lines;
  std::mutex m;
  testing::ScopedProcessState processState;
  platform::SetDebugOutputSink([&](const char* line) {
    std::lock_guard<std::mutex> lock(m);
    lines.emplace_back(line);
  });
  CreateLog();
  auto p = Params("", kTaskTargetIsFile | kTaskRecorded, "/data/QLN156/setup.exe");
  ASSERT_EQ(CreateTask(p.get()), kOk);
  DestroyLog();
  platform::SetDebugOutputSink(nullptr);
  const std::string expected = "[Create HTTP Task, Download, ID : " + std::to_string(p->handle) +
                               "] [Target File : (/data/QLN156/setup.exe) ]\n";
  bool found = false;
  for (const auto& line : lines) found |= line.find(expected) != std::string::npos;
  EXPECT_TRUE(found) << (lines.empty() ? "no line" : lines[0]);
}

TEST_F(EngineApi, DuplicateRule) {
  // Same full target path: refused unless a recovery forces it.
  auto first = Params("http://127.0.0.1:1/f", kTaskTargetIsFile, "/tmp/pf/game.pak");
  ASSERT_EQ(CreateTask(first.get()), kOk);
  auto same = Params("http://127.0.0.1:1/other", kTaskTargetIsFile, "/tmp/pf/game.pak");
  EXPECT_EQ(CreateTask(same.get()), kErrDuplicateTask);
  EXPECT_EQ(same->handle, 0u) << "no handle is written for a refused task";
  EXPECT_EQ(RecoverTask(same.get(), 0), kErrDuplicateTask);
  EXPECT_EQ(RecoverTask(same.get(), 0x100), kErrDuplicateTask) << "only the low byte of force counts";
  EXPECT_EQ(RecoverTask(same.get(), 1), kOk);
  EXPECT_NE(same->handle, first->handle);

  // Keyed tasks compare their keys.
  auto p2sp = Params("http://127.0.0.1:1/k", kTaskP2SP, "", "file:///nonexistent/a.torrent");
  ASSERT_EQ(CreateTask(p2sp.get()), kOk);
  auto bt = Params("file:///nonexistent/a.torrent", kTaskBitTorrent);
  EXPECT_EQ(CreateTask(bt.get()), kErrDuplicateTask) << "a BitTorrent task's key is its first source";
  auto otherKey = Params("http://127.0.0.1:1/k", kTaskP2SP, "", "file:///nonexistent/b.torrent");
  EXPECT_EQ(CreateTask(otherKey.get()), kOk);

  // Plain tasks compare their source lists: count / shared <= 2 is a duplicate.
  Create("http://h/1\nhttp://h/2\nhttp://h/3\nhttp://h/4");
  struct Case {
    const char* sources;
    int32_t result;
  } cases[] = {
      {"http://h/1\nhttp://h/2\nhttp://h/3", kErrDuplicateTask},                        // 3 / 3
      {"http://h/1\nhttp://x/2\nhttp://x/3\nhttp://x/4\nhttp://x/5\nhttp://h/2\nhttp://x/7", kOk},  // 7 / 2
      {"http://h/1\nhttp://x/2\nhttp://x/3\nhttp://h/4\nhttp://x/5", kErrDuplicateTask},  // 5 / 2
      {"http://y/1\nhttp://y/2", kOk},                                                   // nothing shared
  };
  for (const auto& c : cases) {
    auto p = Params(c.sources, 0);
    EXPECT_EQ(CreateTask(p.get()), c.result) << c.sources;
  }
}

TEST_F(EngineApi, UnregisteredHandlesAreRefusedByEveryCall) {
  const TaskHandle stale = 987654;
  TaskInfo info;
  int32_t complete = 5;
  uint8_t bits[4];
  EXPECT_EQ(ResumeTask(stale), kErrNotRegistered);
  EXPECT_EQ(StopTask(stale, 1), kErrNotRegistered);
  EXPECT_EQ(GetTaskInfo(stale, &info), kErrNotRegistered);
  EXPECT_EQ(IsTaskComplete(stale, &complete), kErrNotRegistered);
  EXPECT_EQ(complete, 5);
  EXPECT_EQ(SetTaskRateLimit(stale, 1, 10), kErrNotRegistered);
  EXPECT_EQ(SetTaskConnectionLimits(stale, 4, 40), kErrNotRegistered);
  EXPECT_EQ(ClearMirrorSources(stale), kErrNotRegistered);
  EXPECT_EQ(AddMirrorSource(stale, "http://m/1", "m"), kErrNotRegistered);
  EXPECT_EQ(GetPieceBitmapSize(stale), -1);
  EXPECT_EQ(GetPieceBitmap(stale, bits, 4), -1);
  EXPECT_EQ(GetPieceBitmapSize(0), -1);
}

TEST_F(EngineApi, CallsOnALiveTaskAndTheirArgumentChecks) {
  const TaskHandle h = Create("http://127.0.0.1:1/a");
  TaskInfo info;
  std::memset(&info, 0x7F, sizeof(info));
  EXPECT_EQ(GetTaskInfo(h, &info), kOk);
  EXPECT_EQ(info.progress, 0);
  EXPECT_EQ(info.doneBytes, 0);
  EXPECT_EQ(info.name[0], 0);
  int32_t complete = 5;
  EXPECT_EQ(IsTaskComplete(h, &complete), kOk);
  EXPECT_EQ(complete, 0);
  EXPECT_EQ(SetTaskRateLimit(h, 2, 10), kErrBadArgument);
  EXPECT_EQ(SetTaskRateLimit(h, 1, 32767), kOk);
  EXPECT_EQ(SetTaskRateLimit(h, 0, 100), kOk);
  EXPECT_EQ(SetTaskConnectionLimits(h, 4, 40), kOk);
  EXPECT_EQ(AddMirrorSource(h, "http://m/1\r\nhttp://m/2", "m1\nm2"), kOk);
  EXPECT_EQ(AddMirrorSource(h, nullptr, nullptr), kOk);
  EXPECT_EQ(ClearMirrorSources(h), kOk);
  uint8_t bits[4] = {1, 2, 3, 4};
  EXPECT_EQ(GetPieceBitmap(h, bits, 0), 0);
  EXPECT_EQ(GetPieceBitmap(h, nullptr, 4), 0);
  EXPECT_EQ(GetPieceBitmap(h, bits, 4), 0) << "no pieces yet";
  EXPECT_EQ(GetPieceBitmapSize(h), 0);
  EXPECT_EQ(GetTaskInfo(h, nullptr), kErrBadArgument);
}

TEST_F(EngineApi, ResumeOfARunningTaskFailsAndWorksAfterStop) {
  const TaskHandle h = Create("http://127.0.0.1:1/a");
  EXPECT_EQ(ResumeTask(h), kErrException) << "the thread is already running";
  EXPECT_EQ(StopTask(h, 0), kOk);
  EXPECT_EQ(ResumeTask(h), kOk);
  EXPECT_EQ(StopTask(h, 1), kOk);
  EXPECT_EQ(StopTask(h, 0), kOk) << "stopping an idle task is fine";
}

TEST_F(EngineApi, StopTasksStopsAllAndSkipsUnknownHandles) {
  std::vector<TaskHandle> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(Create("http://127.0.0.1:1/t" + std::to_string(i)));
  handles.insert(handles.begin() + 2, 424242);
  EXPECT_EQ(StopTasks(handles.data(), static_cast<uint32_t>(handles.size()), 0, nullptr), kOk);
  for (TaskHandle h : handles) {
    if (h == 424242) continue;
    EXPECT_EQ(ResumeTask(h), kOk) << "stopped, so it can be resumed";
  }

  std::vector<int32_t> results(handles.size(), 99);
  EXPECT_EQ(StopTasks(handles.data(), static_cast<uint32_t>(handles.size()), 1, results.data()), kOk);
  EXPECT_EQ(results, (std::vector<int32_t>{0, 0, kErrNotRegistered, 0, 0}));
  EXPECT_EQ(StopTasks(nullptr, 3, 0, nullptr), kOk);
}

TEST_F(EngineApi, StopEngineDestroysEveryTask) {
  const TaskHandle a = Create("http://127.0.0.1:1/a");
  const TaskHandle b = Create("http://127.0.0.1:1/b");
  ASSERT_EQ(StopEngine(), kOk);
  TaskInfo info;
  EXPECT_EQ(GetTaskInfo(a, &info), kErrNotRegistered);
  EXPECT_EQ(GetTaskInfo(b, &info), kErrNotRegistered);
  ASSERT_EQ(StartEngine(nullptr), kOk);
  const TaskHandle c = Create("http://127.0.0.1:1/c");
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
}

TEST_F(EngineApi, UnreadableTorrentKeyEndsTheRunWithItsCode) {
  auto p = Params("http://127.0.0.1:1/a", kTaskP2SP, "", "file:///nonexistent/pf/game.torrent");
  ASSERT_EQ(CreateTask(p.get()), kOk);
  TaskInfo info{};
  for (int i = 0; i < 200; ++i) {
    GetTaskInfo(p->handle, &info);
    if (info.state != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(info.state, kStateTorrentUnreadable);
  EXPECT_EQ(ResumeTask(p->handle), kOk) << "the idle task can be started again";
}

TEST_F(EngineApi, OverlongTextsAreCutAt4095Bytes) {
  auto p = Params("", kTaskTargetIsFile);
  std::memset(p->target, 'a', sizeof(p->target));  // no terminator at all
  std::memset(p->key, 'k', sizeof(p->key));
  std::memset(p->resumePath, 'r', sizeof(p->resumePath));
  ASSERT_EQ(CreateTask(p.get()), kOk);
  auto q = Params("", kTaskTargetIsFile);
  std::memset(q->target, 'a', sizeof(q->target) - 1);
  EXPECT_EQ(CreateTask(q.get()), kErrDuplicateTask) << "both targets are the same 4095 bytes";
}

TEST_F(EngineApi, CallsFromManyThreadsAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([t, &failures] {
      for (int i = 0; i < 5; ++i) {
        auto p = Params("http://127.0.0.1:1/" + std::to_string(t) + "/" + std::to_string(i), 0);
        if (CreateTask(p.get()) != kOk) ++failures;
        TaskInfo info;
        if (GetTaskInfo(p->handle, &info) != kOk) ++failures;
        if (SetTaskRateLimit(p->handle, 1, 50) != kOk) ++failures;
        GetPieceBitmapSize(p->handle);
        if (StopTask(p->handle, i % 2) != kOk) ++failures;
        if (ResumeTask(p->handle) != kOk) ++failures;
      }
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures, 0);
}

TEST(DiskHelpers, FreeBytesNeedAnAbsolutePath) {
  EXPECT_EQ(GetDiskFreeBytes(nullptr), 0u);
  EXPECT_EQ(GetDiskFreeBytes("relative/dir"), 0u);
  EXPECT_EQ(GetDiskFreeBytes("C:\\Games"), 0u);
  const uint64_t tmp = GetDiskFreeBytes(fs::temp_directory_path().c_str());
  EXPECT_GT(tmp, 0u);
  const auto space = fs::space(fs::temp_directory_path());
  EXPECT_NEAR(static_cast<double>(tmp), static_cast<double>(space.available), 64.0 * 1024 * 1024);
  EXPECT_EQ(GetDiskFreeBytes((fs::temp_directory_path() / "not/yet/made").c_str()), tmp)
      << "a folder still to be created reports its nearest existing parent";
}

TEST(DiskHelpers, AllocatedSizeFallsBackToTheTemporaryCompanion) {
  const fs::path dir = fs::temp_directory_path() / ("pfalloc-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string file = (dir / "data.pak").string();
  EXPECT_EQ(GetFileAllocatedSize(file.c_str()), 0) << "neither file exists";
  {
    std::ofstream out(file + ".pftmp", std::ios::binary);
    out << std::string(100000, 'x');
  }
  EXPECT_GE(GetFileAllocatedSize(file.c_str()), 100000);
  {
    std::ofstream out(file, std::ios::binary);
    out << "y";
  }
  const int64_t small = GetFileAllocatedSize(file.c_str());
  EXPECT_GT(small, 0);
  EXPECT_LT(small, 100000) << "the file itself wins over its companion";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pf
