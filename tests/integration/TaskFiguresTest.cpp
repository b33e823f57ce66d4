// The figures a caller reads through GetTaskInfo while a rate-limited task
// fetches its file from a mirror given through AddMirrorSource, and after it
// completes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "engine/api/EngineApi.h"
#include "support/LoopbackServers.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 262144;
constexpr int64_t kSize = 16 * 1048576 + 4321;
constexpr int kLimitKB = 2048;

TEST(TaskFigures, ProgressSpeedRemainingAndBytesFollowTheTransfer) {
  if (!ProgramExists("nginx")) GTEST_FAIL() << "nginx is not installed (scripts/setup installs it)";
  const fs::path dir = fs::temp_directory_path() / ("pf-task-figures-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  std::string content(static_cast<size_t>(kSize), '\0');
  std::mt19937_64 random(42);
  for (char& c : content) c = static_cast<char>(random() >> 56);
  WriteFile(dir / "data" / "file.bin", content);
  const fs::path torrent = dir / "file.torrent";
  ASSERT_TRUE(MakeTorrent(dir / "data" / "file.bin", kPieceLength, torrent));
  LoopbackNginx mirror;
  ASSERT_TRUE(mirror.Start(dir / "data", dir / "nginx", "127.0.0.4"));

  ASSERT_EQ(StartEngine("figures-test"), kOk);
  auto params = std::make_unique<TaskParams>();
  const fs::path target = dir / "save" / "file.bin";
  std::snprintf(params->key, sizeof params->key, "file://%s", torrent.c_str());
  std::snprintf(params->target, sizeof params->target, "%s", target.c_str());
  std::snprintf(params->resumePath, sizeof params->resumePath, "%s.pfinfo", target.c_str());
  params->sourceList = "";
  params->flags = kTaskP2SP | kTaskTargetIsFile;
  ASSERT_EQ(CreateTask(params.get()), kOk);
  const TaskHandle task = params->handle;
  ASSERT_EQ(SetTaskRateLimit(task, 1, kLimitKB), kOk);
  // The mirror comes with a host name that its requests must carry.
  ASSERT_EQ(AddMirrorSource(task, mirror.Url("/file.bin").c_str(), "mirror.example"), kOk);

  const auto started = std::chrono::steady_clock::now();
  const double limit = kLimitKB * 1024.0;
  TaskInfo info{};
  int64_t lastDone = 0;
  int speedChecks = 0;
  int32_t complete = 0;
  while (!complete && std::chrono::steady_clock::now() - started < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(GetTaskInfo(task, &info), kOk);
    IsTaskComplete(task, &complete);
    if (complete) break;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    SCOPED_TRACE(::testing::Message() << "at " << seconds << " s: done " << info.doneBytes << ", speed "
                                      << info.speed << ", remaining " << info.remaining);
    EXPECT_GE(info.doneBytes, lastDone) << "held bytes went back";
    lastDone = info.doneBytes;
    EXPECT_EQ(info.totalKB, kSize / 1024);
    EXPECT_NEAR(info.progress, info.doneBytes * 10000 / kSize, 1);
    EXPECT_GE(info.httpBytes, info.doneBytes) << "held bytes all came over HTTP";
    EXPECT_EQ(info.peerBytes, 0);
    // Speeds and the estimate come from 3-second windows: the first is in
    // after the first window has been published.
    if (seconds > 4.5 && info.doneBytes < kSize - 2 * limit) {
      ++speedChecks;
      EXPECT_NEAR(info.speed, limit, limit / 4);
      const double left = static_cast<double>(kSize - info.doneBytes) / info.speed;
      EXPECT_NEAR(info.remaining, left, 2.0 + kPieceLength / limit);
    }
  }
  ASSERT_TRUE(complete) << "the task did not complete in 30 s";
  EXPECT_GT(speedChecks, 4);
  ASSERT_EQ(GetTaskInfo(task, &info), kOk);
  EXPECT_EQ(info.progress, 10000);
  EXPECT_EQ(info.doneBytes, kSize);
  EXPECT_GE(info.httpBytes, kSize);
  EXPECT_LT(info.httpBytes, kSize + kSize / 10) << "bytes counted twice";
  EXPECT_EQ(StopTask(task, 0), kOk);
  EXPECT_EQ(StopEngine(), kOk);
  EXPECT_TRUE(ReadFile(target) == content);

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string log = ReadFile(mirror.AccessLog());
  EXPECT_NE(log.find("\"mirror.example\""), std::string::npos) << log.substr(0, 1000);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pf
