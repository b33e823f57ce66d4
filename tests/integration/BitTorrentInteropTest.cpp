// Our engine in swarms with other BitTorrent programs on loopback: it
// downloads from aria2c and libtorrent seeders found through opentracker
// (HTTP and UDP announces), those programs download from `pftool seed`, two
// of our own exchange a file, and a download takes from an HTTP mirror and a
// peer at once. Every case compares the final file with the original.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

#include "support/BitTorrentPeers.h"
#include "support/LoopbackServers.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 262144;
constexpr size_t kFileSize = 24 * 1048576 + 4321;  // a short last piece
constexpr int kCaseTimeoutMs = 60000;
constexpr int kAnnounceTimeoutMs = 15000;
const char* const kFileName = "payload.bin";

struct Suite {
  fs::path dir;
  std::string content;
};
Suite* suite = nullptr;

enum class Client { Ours, Aria2, Libtorrent };
enum class Announce { Http, Udp };

const char* Name(Client client) {
  switch (client) {
    case Client::Ours: return "pftool";
    case Client::Aria2: return "aria2c";
    case Client::Libtorrent: return "libtorrent";
  }
  return "?";
}

class BitTorrentInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    suite->dir = fs::temp_directory_path() / ("pf-bt-interop-" + std::to_string(::getpid()));
    fs::remove_all(suite->dir);
    fs::create_directories(suite->dir);
    std::mt19937_64 random(5150);
    suite->content.resize(kFileSize);
    for (char& c : suite->content) c = static_cast<char>(random() >> 56);
    WriteFile(suite->dir / kFileName, suite->content);
  }

  static void TearDownTestSuite() {
    fs::remove_all(suite->dir);
    delete suite;
    suite = nullptr;
  }

  void SetUp() override {
    if (!Opentracker::Available()) GTEST_SKIP() << "opentracker is not installed (scripts/setup installs it)";
    work_ = suite->dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(work_);
    // The seeders' folder holds the original under the torrent's name.
    fs::create_directories(work_ / "seed");
    fs::create_hard_link(suite->dir / kFileName, work_ / "seed" / kFileName);
    tracker_ = std::make_unique<Opentracker>(work_ / "tracker");
  }

  // The torrent announcing to this test's tracker, and the tracker serving it.
  void StartSwarm(Announce announce) {
    torrent_ = work_ / "payload.torrent";
    const std::string url = announce == Announce::Http ? tracker_->HttpAnnounceUrl() : tracker_->UdpAnnounceUrl();
    ASSERT_TRUE(MakeAnnouncedTorrent(suite->dir / kFileName, kPieceLength, {url}, torrent_));
    infoHash_ = InfoHashHex(torrent_);
    ASSERT_EQ(infoHash_.size(), 40u);
    ASSERT_TRUE(tracker_->Start({infoHash_})) << ReadFile(tracker_->Log());
  }

  // Skips the test (the caller returns on IsSkipped()) when a program is missing.
  static void SkipWithout(Client client) {
    if (client == Client::Aria2 && !Aria2Peer::Available())
      GTEST_SKIP() << "aria2c is not installed (scripts/setup installs it)";
    if (client == Client::Libtorrent && !LibtorrentPeer::Available())
      GTEST_SKIP() << "python3-libtorrent is not installed or " << LibtorrentPeer::Script() << " is missing";
  }

  // A seeder of the original on `address`, announced to the tracker.
  std::unique_ptr<PeerProcess> StartSeeder(Client client, const std::string& address, int uploadLimitKBps = 0) {
    std::unique_ptr<PeerProcess> seeder;
    bool started = false;
    if (client == Client::Ours) {
      auto ours = std::make_unique<PftoolPeer>();
      started = ours->StartSeeder({.torrent = torrent_, .target = work_ / "seed" / kFileName, .address = address});
      seeder = std::move(ours);
    } else {
      const PeerSetup setup{
          .torrent = torrent_, .dir = work_ / "seed", .address = address, .uploadLimitKBps = uploadLimitKBps};
      if (client == Client::Aria2) {
        auto aria = std::make_unique<Aria2Peer>();
        started = aria->StartSeeder(setup);
        seeder = std::move(aria);
      } else {
        auto lt = std::make_unique<LibtorrentPeer>();
        started = lt->StartSeeder(setup);
        seeder = std::move(lt);
      }
    }
    if (!started) {
      ADD_FAILURE() << Name(client) << " did not start seeding:\n" << seeder->OutputTail();
    } else if (!tracker_->WaitForSeeders(infoHash_, 1, kAnnounceTimeoutMs)) {
      ADD_FAILURE() << Name(client) << " never announced itself as a seeder:\n" << seeder->OutputTail();
    }
    return seeder;
  }

  fs::path work_;
  std::unique_ptr<Opentracker> tracker_;
  fs::path torrent_;
  std::string infoHash_;
};

// One seeder, one leecher, one tracker.
struct Pair {
  const char* name;
  Client seeder;
  Client leecher;
  Announce announce;
};

void PrintTo(const Pair& pair, std::ostream* out) { *out << pair.name; }

class SeederToLeecher : public BitTorrentInteropTest, public ::testing::WithParamInterface<Pair> {};

TEST_P(SeederToLeecher, LeecherEndsWithTheOriginalBytes) {
  const Pair& pair = GetParam();
  SkipWithout(pair.seeder);
  SkipWithout(pair.leecher);
  if (IsSkipped()) return;
  ASSERT_NO_FATAL_FAILURE(StartSwarm(pair.announce));
  std::unique_ptr<PeerProcess> seeder = StartSeeder(pair.seeder, "127.0.0.2");
  ASSERT_FALSE(HasFailure());

  const fs::path into = work_ / "leech";
  const fs::path file = into / kFileName;
  const PeerSetup setup{.torrent = torrent_, .dir = into, .address = "127.0.0.3"};
  if (pair.leecher == Client::Ours) {
    PftoolPeer leecher;
    ASSERT_TRUE(leecher.StartDownload({.torrent = torrent_, .target = file, .address = "127.0.0.3"}));
    const auto exitCode = leecher.WaitForExit(kCaseTimeoutMs);
    EXPECT_TRUE(FileHolds(file, suite->content)) << "the downloaded file differs:\n" << leecher.OutputTail();
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(leecher.Completed());
    EXPECT_GT(leecher.PeerBytes().value_or(0), 0);
  } else if (pair.leecher == Client::Aria2) {
    Aria2Peer leecher;
    ASSERT_TRUE(leecher.StartLeecher(setup));
    EXPECT_TRUE(leecher.WaitForFile(file, suite->content, kCaseTimeoutMs)) << leecher.OutputTail();
    EXPECT_EQ(leecher.WaitForExit(5000), 0);
  } else {
    LibtorrentPeer leecher;
    ASSERT_TRUE(leecher.StartLeecher(setup, kCaseTimeoutMs / 1000));
    EXPECT_TRUE(leecher.WaitForFile(file, suite->content, kCaseTimeoutMs)) << leecher.OutputTail();
    EXPECT_EQ(leecher.WaitForExit(5000), 0);
    EXPECT_TRUE(leecher.Completed());
  }
  // The only other peer in the swarm is the seeder, so the bytes came from
  // it; the other programs also say so themselves.
  if (pair.seeder != Client::Ours) {
    EXPECT_TRUE(seeder->WaitForUpload(3000)) << seeder->OutputTail();
  }
  EXPECT_TRUE(seeder->Running()) << "the seeder ended early:\n" << seeder->OutputTail();
}

const Pair kPairs[] = {
    {"OursFromAria2HttpTracker", Client::Aria2, Client::Ours, Announce::Http},
    {"OursFromLibtorrentUdpTracker", Client::Libtorrent, Client::Ours, Announce::Udp},
    {"Aria2FromOursHttpTracker", Client::Ours, Client::Aria2, Announce::Http},
    {"LibtorrentFromOursUdpTracker", Client::Ours, Client::Libtorrent, Announce::Udp},
    {"OursFromOursHttpTracker", Client::Ours, Client::Ours, Announce::Http},
};
INSTANTIATE_TEST_SUITE_P(Swarm, SeederToLeecher, ::testing::ValuesIn(kPairs),
                         [](const ::testing::TestParamInfo<Pair>& info) { return std::string(info.param.name); });

// An HTTP mirror and a peer feed one download: both are paced, so that
// neither can finish the file before the other joins, and the download says
// it took bytes from each.
TEST_F(BitTorrentInteropTest, MirrorAndPeerBothDeliver) {
  if (!ProgramExists("nginx")) GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
  const Client seederClient = LibtorrentPeer::Available() ? Client::Libtorrent : Client::Aria2;
  SkipWithout(seederClient);
  if (IsSkipped()) return;
  ASSERT_NO_FATAL_FAILURE(StartSwarm(Announce::Http));
  LoopbackNginx mirror;
  ASSERT_TRUE(mirror.Start(work_ / "seed", work_ / "nginx", "127.0.0.4",
                           {{std::string("/") + kFileName, "limit_rate 1m;"}}));
  std::unique_ptr<PeerProcess> seeder = StartSeeder(seederClient, "127.0.0.2", 2048);
  ASSERT_FALSE(HasFailure());

  const fs::path file = work_ / "leech" / kFileName;
  PftoolPeer leecher;
  ASSERT_TRUE(leecher.StartDownload({.torrent = torrent_,
                                     .target = file,
                                     .address = "127.0.0.3",
                                     .sources = {mirror.Url(std::string("/") + kFileName)}}));
  const auto exitCode = leecher.WaitForExit(kCaseTimeoutMs);
  EXPECT_TRUE(FileHolds(file, suite->content)) << "the downloaded file differs:\n" << leecher.OutputTail();
  EXPECT_EQ(exitCode, 0);
  const int64_t httpBytes = leecher.HttpBytes().value_or(0);
  const int64_t peerBytes = leecher.PeerBytes().value_or(0);
  EXPECT_GT(httpBytes, 0);
  EXPECT_GT(peerBytes, 0);
  EXPECT_GE(httpBytes + peerBytes, static_cast<int64_t>(kFileSize));
  EXPECT_GT(mirror.BytesSent(), 0);
  EXPECT_TRUE(seeder->WaitForUpload(3000)) << seeder->OutputTail();
}

}  // namespace
}  // namespace pf
