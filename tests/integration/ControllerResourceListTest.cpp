// The controller and the resource list: fetched once when downloading
// begins (not before), its switch turns P2P off, and the download goes on
// with the mirror it names to the end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadController.h"
#include "app/FileDigest.h"
#include "engine/api/EngineApi.h"
#include "support/LoopbackServers.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int RequestsFor(const fs::path& accessLog, const std::string& path) {
  std::ifstream log(accessLog);
  int count = 0;
  for (std::string line; std::getline(log, line);) count += line.find("GET " + path + " ") != std::string::npos;
  return count;
}

TEST(ControllerResourceList, FetchedWhenDownloadingBeginsAndApplied) {
  if (!testing::ProgramExists("nginx")) GTEST_SKIP() << "nginx is missing";
  const fs::path root = fs::temp_directory_path() / ("pf-controller-list-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "www" / "mirror");
  fs::create_directories(root / "data");
  const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
  const int64_t sizes[] = {3 * 32768 + 100, 5 * 262144 + 7, 4 * 262144, 12 * 262144};
  std::vector<std::unique_ptr<testing::TorrentFixture>> fixtures;
  for (int i = 0; i < 4; ++i) {
    fixtures.push_back(std::make_unique<testing::TorrentFixture>(root, names[i], sizes[i], i == 0 ? 32768 : 262144,
                                                                 70 + i));
    std::ofstream(root / "www" / names[i], std::ios::binary) << fixtures.back()->content;
    if (i == 1) std::ofstream(root / "www" / "mirror" / names[i], std::ios::binary) << fixtures.back()->content;
  }
  // The last file comes slowly, so that the download is seen running.
  testing::LoopbackNginx nginx;
  ASSERT_TRUE(nginx.Start(root / "www", root / "nginx", "127.0.0.1",
                          {{"/Data15602.cab", "limit_rate 400k;"}}));
  std::ofstream(root / "www" / "list.xml")
      << "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
         "<resource id=\"1\" task=\"" << nginx.Url("/Data156.zip") << "\"><cdn id=\"1\" name=\"m\" open=\"true\" "
         "middle-dir=\"/mirror/\" file-name=\"Data156.zip\"><ip>127.0.0.1:" << nginx.Port()
      << "</ip></cdn></resource></resources></project>";

  PackageTable package;
  for (int i = 0; i < 4; ++i) {
    PackageFile& f = package.files[i];
    f.fileName = names[i];
    f.size = fixtures[i]->content.size();
    f.md5 = FileMd5((root / "www" / names[i]).string());  // also names the torrent's file
    f.url = nginx.Url(std::string("/") + names[i]);
    f.torrent = fixtures[i]->bytes;
  }
  package.packageId = "feedfacefeedfacefeedfacefeedfac1";
  package.resourceListUrl = nginx.Url("/list.xml");
  SetP2PEnabled(0);
  {
    DownloadController c(package, (root / "data").string(), 36);
    ASSERT_EQ(c.DecideStart(), 0);
    c.SetSavePath((root / "save").string());
    c.MainAction();
    EXPECT_EQ(RequestsFor(nginx.AccessLog(), "/list.xml"), 0);  // not before downloading
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    auto nextSecond = Clock::now();
    while (Clock::now() < deadline && c.EvaluateState() != DownloadState::kFinished) {
      c.MeasureSpeed();
      if (Clock::now() >= nextSecond) {
        c.OneSecondTick();
        nextSecond += std::chrono::seconds(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(c.State(), DownloadState::kFinished) << DownloadStateName(c.State());
    EXPECT_FALSE(c.P2PSwitch());
    EXPECT_EQ(RequestsFor(nginx.AccessLog(), "/list.xml"), 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(FileMd5((root / "save" / names[i]).string()), package.files[i].md5) << i;
  }
  StopEngine();
  SetP2PEnabled(1);
  nginx.Stop();
  fs::remove_all(root);
}

}  // namespace
}  // namespace pf
