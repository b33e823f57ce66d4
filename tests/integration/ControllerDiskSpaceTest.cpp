// The controller on a small file system (a tmpfs of its own): too little
// room refuses the start with the space message; room that runs out while
// downloading pauses the download with its message, and once room is made
// again the download is resumed and finishes. A read-only one fails the
// download with the message for a disk that cannot be written.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadController.h"
#include "app/FileDigest.h"
#include "engine/api/EngineApi.h"
#include "support/ControllerDriver.h"
#include "support/LoopbackServers.h"
#include "support/TorrentFixture.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

class ControllerDiskSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (!testing::ProgramExists("nginx")) GTEST_SKIP() << "nginx is missing";
    root = fs::temp_directory_path() / ("pf-disk-space-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "www");
    fs::create_directories(root / "small");
    const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
    const int64_t sizes[] = {2 * 32768, 262144, 262144, 12 * 262144};
    for (int i = 0; i < 4; ++i) {
      fixtures.push_back(std::make_unique<testing::TorrentFixture>(root, names[i], sizes[i], i == 0 ? 32768 : 262144,
                                                                   130 + i));
      std::ofstream(root / "www" / names[i], std::ios::binary) << fixtures.back()->content;
    }
    // The big file comes slowly, so that room can run out while it comes.
    ASSERT_TRUE(nginx.Start(root / "www", root / "nginx", "127.0.0.1", {{"/Data15602.cab", "limit_rate 150k;"}}));
    for (int i = 0; i < 4; ++i)
      package.files[i] = {names[i], fixtures[i]->content.size(), FileMd5((root / "www" / names[i]).string()),
                          nginx.Url(std::string("/") + names[i]), fixtures[i]->bytes};
    package.packageId = "feedfacefeedfacefeedfacefeedfac4";
    SetP2PEnabled(0);
    SetMessageBoxPresenter([this](void*, const std::string& text, const std::string&, uint32_t) {
      std::lock_guard<std::mutex> lock(messagesMutex);
      messages.push_back(text);
    });
  }
  void TearDown() override {
    SetMessageBoxPresenter({});
    StopEngine();
    SetP2PEnabled(1);
    if (mounted) ::umount2((root / "small").c_str(), MNT_DETACH);
    nginx.Stop();
    if (!root.empty()) fs::remove_all(root);
  }
  bool MountSmall(uint64_t bytes, unsigned long flags = 0) {
    if (mounted) ::umount2((root / "small").c_str(), MNT_DETACH);
    const std::string options = "size=" + std::to_string(bytes);
    mounted = ::mount("tmpfs", (root / "small").c_str(), "tmpfs", flags, options.c_str()) == 0;
    return mounted;
  }
  bool SawMessage(const std::string& start) {
    for (int i = 0; i < 100; ++i) {
      {
        std::lock_guard<std::mutex> lock(messagesMutex);
        for (const std::string& m : messages)
          if (m.rfind(start, 0) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  fs::path root;
  testing::LoopbackNginx nginx;
  PackageTable package;
  std::vector<std::unique_ptr<testing::TorrentFixture>> fixtures;
  bool mounted = false;
  std::mutex messagesMutex;
  std::vector<std::string> messages;  // guarded by messagesMutex
};

TEST_F(ControllerDiskSpace, TooLittleRoomRefusesTheStartAndRoomRunningOutPausesUntilThereIsMore) {
  const fs::path save = root / "small" / "QLN156";
  {
    // Less than the package and the spare 100 MiB: Start is refused.
    ASSERT_TRUE(MountSmall(64 << 20)) << "mount: " << std::strerror(errno);
    DownloadController c(package, (root / "data1").string(), 36);
    ASSERT_EQ(c.DecideStart(), 0);
    c.SetSavePath(save.string());
    c.MainAction();
    EXPECT_TRUE(SawMessage("当前磁盘空间不足，请选择其他位置存放"));
    EXPECT_TRUE(c.DiskShort());
    EXPECT_EQ(c.State(), DownloadState::kReady);
    EXPECT_EQ(c.Handle(0), 0u) << "a task was created without room";
  }
  StopEngine();
  ASSERT_TRUE(MountSmall(package.RequiredSpace() + (4 << 20)));
  DownloadController c(package, (root / "data2").string(), 36);
  ASSERT_EQ(c.DecideStart(), 0);
  c.SetSavePath(save.string());
  c.MainAction();
  ASSERT_FALSE(c.DiskShort());
  ASSERT_TRUE(testing::RunControllerUntil(c, 30, [&] { return c.State() == DownloadState::kDownloading; })) << DownloadStateName(c.State());

  // Another program takes the room the rest of the package needs.
  const uint64_t free = GetDiskFreeBytes(save.c_str());
  ASSERT_GT(free, 1u << 20);
  {
    std::ofstream filler(root / "small" / "filler", std::ios::binary);
    const std::string block(1 << 20, 'f');
    for (uint64_t left = free - (512 << 10); left > 0 && filler;) {
      const uint64_t n = std::min<uint64_t>(left, block.size());
      filler.write(block.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  ASSERT_TRUE(testing::RunControllerUntil(c, 10, [&] { return c.State() == DownloadState::kPause; })) << DownloadStateName(c.State());
  EXPECT_TRUE(c.DiskShort());
  EXPECT_TRUE(SawMessage("预留磁盘空间不足，下载暂停。"));

  // Room again: the flag clears, and Resume takes the download to its end.
  fs::remove(root / "small" / "filler");
  ASSERT_TRUE(testing::RunControllerUntil(c, 10, [&] { return !c.DiskShort(); }));
  c.MainAction();
  EXPECT_EQ(c.State(), DownloadState::kResume);
  ASSERT_TRUE(testing::RunControllerUntil(c, 60, [&] { return c.State() == DownloadState::kFinished; })) << DownloadStateName(c.State());
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(FileMd5((save / package.files[i].fileName).string()), package.files[i].md5) << i;
}

TEST_F(ControllerDiskSpace, AReadOnlyFileSystemFailsTheDownloadWithItsMessage) {
  ASSERT_TRUE(MountSmall(package.RequiredSpace() + (4 << 20), MS_RDONLY)) << "mount: " << std::strerror(errno);
  DownloadController c(package, (root / "data").string(), 36);
  ASSERT_EQ(c.DecideStart(), 0);
  c.SetSavePath((root / "small" / "QLN156").string());
  c.MainAction();
  EXPECT_TRUE(testing::RunControllerUntil(c, 30, [&] { return c.State() == DownloadState::kFailed; })) << DownloadStateName(c.State());
  EXPECT_TRUE(SawMessage("由于磁盘损坏无法写入，下载失败"));
}

}  // namespace
}  // namespace pf
