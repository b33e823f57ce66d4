// A package whose download server does not answer still comes from the
// seeders that the torrents' tracker names.
#include <gtest/gtest.h>
#include <unistd.h>

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
#include "support/BitTorrentPeers.h"
#include "support/ControllerDriver.h"
#include "support/LoopbackServers.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

TEST(ControllerPeersOnly, SeedersAloneDeliverThePackage) {
  if (!testing::Opentracker::Available()) GTEST_SKIP() << "opentracker is missing";
  const fs::path root = fs::temp_directory_path() / ("pf-controller-peers-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "seed");
  testing::Opentracker tracker(root / "tracker");
  const char* names[] = {"setup.exe", "Data156.zip", "Data15601.cab", "Data15602.cab"};
  const int64_t sizes[] = {3 * 32768 + 5, 262144 + 9, 2 * 262144, 3 * 262144 + 1};
  // Nothing listens here: every request to the download server fails.
  const std::string deadServer = "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/";
  PackageTable package;
  std::vector<std::string> torrents(4), hashes(4);
  for (int i = 0; i < 4; ++i) {
    std::ofstream(root / "seed" / names[i], std::ios::binary) << testing::StreamBytes(sizes[i], 110 + i);
    const fs::path torrent = root / (std::string(names[i]) + ".torrent");
    ASSERT_TRUE(testing::MakeAnnouncedTorrent(root / "seed" / names[i], i == 0 ? 32768 : 262144,
                                              {tracker.HttpAnnounceUrl()}, torrent));
    torrents[i] = testing::ReadFile(torrent);
    hashes[i] = testing::InfoHashHex(torrent);
    package.files[i] = {names[i], static_cast<uint64_t>(sizes[i]), FileMd5((root / "seed" / names[i]).string()),
                        deadServer + names[i], torrents[i]};
  }
  package.packageId = "feedfacefeedfacefeedfacefeedfac3";
  ASSERT_TRUE(tracker.Start(hashes));
  std::vector<std::unique_ptr<testing::PftoolPeer>> seeders;
  for (int i = 0; i < 4; ++i) {
    seeders.push_back(std::make_unique<testing::PftoolPeer>());
    ASSERT_TRUE(seeders.back()->StartSeeder({.torrent = root / (std::string(names[i]) + ".torrent"),
                                             .target = root / "seed" / names[i]}))
        << seeders.back()->OutputTail();
    ASSERT_TRUE(tracker.WaitForSeeders(hashes[i], 1, 15000)) << seeders.back()->OutputTail();
  }
  {
    DownloadController c(package, (root / "data").string(), 36);
    ASSERT_EQ(c.DecideStart(), 0);
    c.SetSavePath((root / "save").string());
    c.MainAction();
    testing::RunControllerUntilState(c, DownloadState::kFinished, 60);
    EXPECT_EQ(c.State(), DownloadState::kFinished) << DownloadStateName(c.State());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(FileMd5((root / "save" / names[i]).string()), package.files[i].md5) << i;
  }
  StopEngine();
  for (auto& seeder : seeders) seeder->Stop();
  tracker.Stop();
  fs::remove_all(root);
}

}  // namespace
}  // namespace pf
