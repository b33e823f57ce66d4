// The controller driven as the window's timers would drive it: a fresh
// package downloaded from a local nginx mirror, then a file damaged on disk
// found by the verification, repaired through a forced reload and verified.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CheckThread.h"
#include "app/DownloadController.h"
#include "app/FileDigest.h"
#include "engine/api/EngineApi.h"
#include "support/ControllerDriver.h"
#include "support/LoopbackServers.h"
#include "support/StatCollector.h"
#include "support/TorrentFixture.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

class ControllerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgramExists("nginx")) GTEST_SKIP() << "nginx is missing";
    root = fs::temp_directory_path() / ("pf-controller-run-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "www");
    fs::create_directories(root / "data");
    const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
    const int64_t sizes[] = {3 * 32768 + 100, 5 * 262144 + 7, 4 * 262144, 3 * 262144 + 1};
    for (int i = 0; i < 4; ++i) {
      fixtures.push_back(std::make_unique<testing::TorrentFixture>(root, names[i], sizes[i], i == 0 ? 32768 : 262144,
                                                                   50 + i));
      std::ofstream(root / "www" / names[i], std::ios::binary) << fixtures.back()->content;
    }
    ASSERT_TRUE(nginx.Start(root / "www", root / "nginx"));
    for (int i = 0; i < 4; ++i) {
      PackageFile& f = package.files[i];
      f.fileName = names[i];
      f.size = fixtures[i]->content.size();
      f.md5 = FileMd5((root / "www" / names[i]).string());
      f.url = nginx.Url("/" + f.fileName);
      f.torrent = fixtures[i]->bytes;
    }
    package.packageId = package.files[0].md5;
    collector = std::make_unique<testing::Collector>(root / "events.jsonl");
    testing::WriteConfig(root / "dataupload.pfconf", {collector->Url()});
    ASSERT_TRUE(StartTelemetry((root / "dataupload.pfconf").string().c_str(), "1.0.3"));
    SetP2PEnabled(0);
  }
  void TearDown() override {
    StopDataUpload();
    StopEngine();
    SetP2PEnabled(1);
    nginx.Stop();
    fs::remove_all(root);
  }
  std::string Saved(int i) const { return (root / "save" / "QLN156" / package.files[i].fileName).string(); }

  fs::path root;
  testing::LoopbackNginx nginx;
  PackageTable package;
  std::vector<std::unique_ptr<testing::TorrentFixture>> fixtures;
  std::unique_ptr<testing::Collector> collector;
};

TEST_F(ControllerRun, DownloadsVerifiesAndRepairsADamagedFile) {
  DownloadController c(package, (root / "data").string(), 36);
  ASSERT_EQ(c.DecideStart(), 0);
  ASSERT_EQ(c.State(), DownloadState::kReady);
  c.SetSavePath((root / "save" / "QLN156").string());
  c.MainAction();
  ASSERT_EQ(c.State(), DownloadState::kPreparing);
  ASSERT_TRUE(testing::RunControllerUntilState(c, DownloadState::kFinished, 60)) << DownloadStateName(c.State());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FileMd5(Saved(i)), package.files[i].md5) << i;

  // Damage a data file in the middle, as a bad disk would.
  {
    std::fstream f(Saved(2), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(300000);
    f << std::string(5000, 'x');
  }
  bool asked = false;
  std::atomic<bool> installPosted{false};  // set on the verification's thread
  c.askYesNo = [&](const std::string& text, const std::string&) {
    asked = text == "是否验证安装文件的正确性？";
    return true;
  };
  c.postMainAction = [&] { installPosted = true; };
  const_cast<CheckThread&>(c.Checker()).pollMs = 100;
  c.MainAction();
  EXPECT_TRUE(asked);
  ASSERT_TRUE(testing::RunControllerUntilState(c, DownloadState::kCheckFinished, 90)) << DownloadStateName(c.State());
  EXPECT_EQ(FileMd5(Saved(2)), package.files[2].md5);
  EXPECT_TRUE(c.Checker().MismatchSeen());
  for (int i = 0; i < 50 && !installPosted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(installPosted) << "an agreed verification goes on to the installer";

  // The events of the run, in order.
  std::vector<std::string> codes;
  for (int i = 0; i < 100; ++i) {
    codes = testing::CollectorEventCodes(root / "events.jsonl");
    if (std::find(codes.begin(), codes.end(), "11100004") != codes.end()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::vector<std::string> expected = {"11010000", "11080000", "11060000", "11070000",
                                             "11100001", "11500201", "11100003", "11100004"};
  size_t at = 0;
  for (const std::string& code : codes)
    if (at < expected.size() && code == expected[at]) ++at;
  EXPECT_EQ(at, expected.size()) << "events seen: " << ::testing::PrintToString(codes);
}

}  // namespace
}  // namespace pf
