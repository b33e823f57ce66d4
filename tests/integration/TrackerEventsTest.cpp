// What our engine tells its trackers besides "started": "completed" once a
// download completes (never for a task that starts complete) and "stopped"
// when a task stops, so that the tracker forgets a port nobody listens on
// any more; the "stopped" of an exit waits for a tracker only so long.
// Over HTTP against a tracker that records each announce's event, over UDP
// against opentracker, whose counts show the same.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/BitTorrentPeers.h"
#include "support/LoopbackServers.h"
#include "support/ScriptedHttpServer.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;
using Clock = std::chrono::steady_clock;

constexpr int64_t kPieceLength = 65536;
constexpr size_t kFileSize = 1048576 + 99;
constexpr int kLimitKBps = 256;  // the download lasts seconds: the tracker hears "started" first
constexpr int kTimeoutMs = 60000;

// The value of `key` in the request line's query ("port=" -> "6881").
std::string QueryValue(const std::string& request, const std::string& key) {
  const size_t line = request.find("\r\n");
  size_t at = request.find("&" + key);
  if (at == std::string::npos || at > line) at = request.find("?" + key);
  if (at == std::string::npos || at > line) return {};
  at += 1 + key.size();
  return request.substr(at, request.find_first_of("& ", at) - at);
}

// An HTTP tracker that names no peers and records the event of every
// announce by the announcing port; it can be told to hold its answer to
// "stopped" for longer than any exit should wait.
class RecordingTracker {
 public:
  RecordingTracker()
      : server_("127.0.0.1", [this](const std::string& request) {
          const std::string port = QueryValue(request, "port="), event = QueryValue(request, "event=");
          {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({port, event});
          }
          if (event == "stopped" && stallOnStopped) std::this_thread::sleep_for(std::chrono::seconds(3));
          const std::string body = "d8:intervali600e5:peers0:e";
          return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        }) {}

  std::string Url() const { return server_.Url("/announce"); }

  // The events announced from `port`, in order.
  std::vector<std::string> EventsOf(int port) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> events;
    for (const auto& [from, event] : events_)
      if (from == std::to_string(port)) events.push_back(event);
    return events;
  }

  bool WaitFor(int port, const std::string& event, int milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const auto events = EventsOf(port);
      if (std::find(events.begin(), events.end(), event) != events.end()) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::atomic<bool> stallOnStopped{false};

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> events_;
  ScriptedHttpServer server_;
};

class TrackerEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pf-tracker-events-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "seed");
    std::mt19937_64 random(404);
    content_.resize(kFileSize);
    for (char& c : content_) c = static_cast<char>(random() >> 56);
    WriteFile(dir_ / "seed" / "payload.bin", content_);
  }
  void TearDown() override {
    seeder_.Stop();
    leecher_.Stop();
    if (!HasFailure()) fs::remove_all(dir_);
  }

  void MakeTorrent(const std::string& announceUrl) {
    ASSERT_TRUE(MakeAnnouncedTorrent(dir_ / "seed" / "payload.bin", kPieceLength, {announceUrl}, dir_ / "t.torrent"));
  }
  void StartSeeder() {
    PftoolSetup seed;
    seed.torrent = dir_ / "t.torrent";
    seed.target = dir_ / "seed" / "payload.bin";
    seed.address = "127.0.0.2";
    ASSERT_TRUE(seeder_.StartSeeder(seed)) << seeder_.OutputTail();
  }
  // Downloads from the seeder, given directly, to the end.
  void Download() {
    PftoolSetup get;
    get.torrent = dir_ / "t.torrent";
    get.target = dir_ / "get" / "payload.bin";
    get.address = "127.0.0.3";
    get.sources = {"btnode://127.0.0.2:" + std::to_string(seeder_.Port())};
    get.limitKBps = kLimitKBps;
    ASSERT_TRUE(leecher_.StartDownload(get));
    ASSERT_EQ(leecher_.WaitForExit(kTimeoutMs), 0) << leecher_.OutputTail();
    EXPECT_TRUE(FileHolds(get.target, content_));
  }
  // Ctrl-C to the seeder; how long it took to end.
  std::chrono::milliseconds InterruptSeeder() {
    const auto started = Clock::now();
    seeder_.Interrupt();
    EXPECT_TRUE(seeder_.WaitForExit(10000).has_value()) << seeder_.OutputTail();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  }

  fs::path dir_;
  std::string content_;
  PftoolPeer seeder_;
  PftoolPeer leecher_;
};

TEST_F(TrackerEventsTest, HttpTrackerHearsStartedCompletedAndStopped) {
  RecordingTracker tracker;
  MakeTorrent(tracker.Url());
  StartSeeder();
  ASSERT_TRUE(tracker.WaitFor(seeder_.Port(), "started", 15000)) << seeder_.OutputTail();
  Download();
  using Events = std::vector<std::string>;
  EXPECT_EQ(tracker.EventsOf(leecher_.Port()), (Events{"started", "completed", "stopped"}));

  InterruptSeeder();
  EXPECT_EQ(tracker.EventsOf(seeder_.Port()), (Events{"started", "stopped"}))
      << "a seed that started complete never says completed";
}

TEST_F(TrackerEventsTest, AnExitWaitsForATrackerOnlySoLong) {
  RecordingTracker tracker;
  tracker.stallOnStopped = true;
  MakeTorrent(tracker.Url());
  StartSeeder();
  ASSERT_TRUE(tracker.WaitFor(seeder_.Port(), "started", 15000)) << seeder_.OutputTail();
  const auto took = InterruptSeeder();
  EXPECT_TRUE(tracker.WaitFor(seeder_.Port(), "stopped", 1000));
  EXPECT_LT(took.count(), 2800) << "the exit waited for the tracker's answer";
}

// opentracker keeps peers by address and counts completed downloads: after
// the download it lists the seeder alone and one download; after the
// seeder's Ctrl-C, nobody.
TEST_F(TrackerEventsTest, UdpTrackerForgetsStoppedPeersAndCountsTheDownload) {
  if (!Opentracker::Available()) GTEST_SKIP() << "opentracker is not installed (scripts/setup installs it)";
  Opentracker tracker(dir_ / "tracker");
  MakeTorrent(tracker.UdpAnnounceUrl());
  const std::string infoHash = InfoHashHex(dir_ / "t.torrent");
  ASSERT_TRUE(tracker.Start({infoHash}));
  StartSeeder();
  ASSERT_TRUE(tracker.WaitForSeeders(infoHash, 1, 15000)) << seeder_.OutputTail();
  Download();
  auto counts = tracker.Scrape(infoHash);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->complete, 1) << "the leecher that stopped is still listed";
  EXPECT_EQ(counts->incomplete, 0);
  EXPECT_EQ(counts->downloaded, 1) << "the completed download was not announced";

  InterruptSeeder();
  counts = tracker.Scrape(infoHash);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->complete, 0) << "the seeder that stopped is still listed";
  EXPECT_EQ(counts->downloaded, 1);
}

}  // namespace
}  // namespace pf
