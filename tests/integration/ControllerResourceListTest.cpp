// The controller and the resource list: fetched once when downloading
// begins (not before), its switch turns P2P off, and the download goes on
// with the mirror it names to the end; a list that turns P2P off while a
// seeder serves the download ends the BitTorrent connections.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadController.h"
#include "app/FileDigest.h"
#include "engine/api/EngineApi.h"
#include "app/ResourceListThread.h"
#include "support/BitTorrentPeers.h"
#include "support/ControllerDriver.h"
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
    testing::RunControllerUntilState(c, DownloadState::kFinished, 90);
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

// Established connections to `ip:port` (host order), as the kernel lists them.
int EstablishedConnectionsTo(const std::string& ip, int port) {
  unsigned a, b, c, d;
  std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "%02X%02X%02X%02X:%04X", d, c, b, a, port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    count += remote == wanted && state == "01";
  }
  return count;
}

TEST(ControllerResourceList, SwitchingP2POffEndsTheBitTorrentConnections) {
  if (!testing::ProgramExists("nginx") || !testing::Opentracker::Available())
    GTEST_SKIP() << "nginx or opentracker is missing";
  const fs::path root = fs::temp_directory_path() / ("pf-controller-p2p-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "www");
  fs::create_directories(root / "seed");
  testing::Opentracker tracker(root / "tracker");
  const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
  const int64_t sizes[] = {32768, 262144, 262144, 8 * 262144};
  PackageTable package;
  std::vector<std::string> torrents(4);
  for (int i = 0; i < 4; ++i) {
    const std::string content = testing::StreamBytes(sizes[i], 90 + i);
    std::ofstream(root / "www" / names[i], std::ios::binary) << content;
    std::ofstream(root / "seed" / names[i], std::ios::binary) << content;
    const fs::path torrent = root / (std::string(names[i]) + ".torrent");
    ASSERT_TRUE(testing::MakeAnnouncedTorrent(root / "www" / names[i], i == 0 ? 32768 : 262144,
                                              {tracker.HttpAnnounceUrl()}, torrent));
    torrents[i] = testing::ReadFile(torrent);
    package.files[i] = {names[i], static_cast<uint64_t>(sizes[i]), FileMd5((root / "www" / names[i]).string()), "",
                        torrents[i]};
  }
  const std::string hash = testing::InfoHashHex(root / "Data15602.cab.torrent");
  ASSERT_TRUE(tracker.Start({hash}));
  // The big file comes slowly from both sides, so that it is seen coming.
  testing::PftoolPeer seeder;
  ASSERT_TRUE(seeder.StartSeeder({.torrent = root / "Data15602.cab.torrent", .target = root / "seed" / names[3],
                                  .uploadLimitKBps = 64}))
      << seeder.OutputTail();
  ASSERT_TRUE(tracker.WaitForSeeders(hash, 1, 15000)) << seeder.OutputTail();
  testing::LoopbackNginx nginx;
  ASSERT_TRUE(nginx.Start(root / "www", root / "nginx", "127.0.0.1", {{"/Data15602.cab", "limit_rate 128k;"}}));
  for (int i = 0; i < 4; ++i) package.files[i].url = nginx.Url(std::string("/") + names[i]);
  package.packageId = "feedfacefeedfacefeedfacefeedfac2";
  const auto writeList = [&](const char* p2p) {
    std::ofstream(root / "www" / "list.xml") << "<project><configs><p2p-switch>" << p2p
                                             << "</p2p-switch></configs></project>";
  };
  writeList("off");
  {
    DownloadController c(package, (root / "data").string(), 36);
    ASSERT_EQ(c.DecideStart(), 0);
    c.SetSavePath((root / "save").string());
    c.MainAction();
    const auto peerBytes = [&] {
      TaskInfo info{};
      return GetTaskInfo(c.Handle(3), &info) == kOk ? info.peerBytes : -1;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && peerBytes() <= 0) {
      c.EvaluateState();
      c.MeasureSpeed();  // downloading: the connection budgets let peers in
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(peerBytes(), 0) << "the seeder never served the download; leechers announced: "
                              << tracker.Scrape(hash).value_or(testing::SwarmCounts{}).incomplete << "\n"
                              << seeder.OutputTail();
    EXPECT_GT(EstablishedConnectionsTo(seeder.Address(), seeder.Port()), 0);

    // The list's run on the controller, as the speed measurement starts it.
    ResourceListThread list(c, nginx.Url("/list.xml"), "");
    list.RunOnce();
    EXPECT_FALSE(c.P2PSwitch());
    int connections = -1;
    for (int i = 0; i < 100 && connections != 0; ++i) {
      c.EvaluateState();
      c.MeasureSpeed();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      connections = EstablishedConnectionsTo(seeder.Address(), seeder.Port());
    }
    EXPECT_EQ(connections, 0) << "a BitTorrent connection outlived the switch";
    const int64_t before = peerBytes();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(peerBytes(), before) << "bytes still came from the seeder";

    // The mirrors finish the download alone.
    testing::RunControllerUntilState(c, DownloadState::kFinished, 90);
    EXPECT_EQ(c.State(), DownloadState::kFinished) << DownloadStateName(c.State());
    EXPECT_EQ(FileMd5((root / "save" / names[3]).string()), package.files[3].md5);
  }
  StopEngine();
  SetP2PEnabled(1);
  seeder.Stop();
  tracker.Stop();
  nginx.Stop();
  fs::remove_all(root);
}

}  // namespace
}  // namespace pf
