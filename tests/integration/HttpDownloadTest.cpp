// `pftool download` against nginx mirrors on loopback: the file arrives
// byte-identical through failing and lying mirrors, an interrupted run is
// continued without fetching everything again, and a task without a usable
// source ends with the engine's code.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServers.h"
#include "support/ScriptedHttpServer.h"
#include "support/StatCollector.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 2097152;
constexpr int kRunTimeoutMs = 60000;

struct Suite {
  fs::path dir;
  std::string content;  // 12 pieces and a short last one
  fs::path torrent;
  std::string problem;  // why the suite cannot run
};
Suite* suite = nullptr;

class HttpDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    Suite& s = *suite;
    if (!ProgramExists("nginx")) {
      s.problem = "nginx is not installed (scripts/setup installs it)";
      return;
    }
    s.dir = fs::temp_directory_path() / ("pf-http-download-" + std::to_string(::getpid()));
    fs::remove_all(s.dir);
    for (const char* sub : {"good", "damaged", "moved", "short", "names/中文 目录"}) fs::create_directories(s.dir / sub);
    std::mt19937_64 random(156);
    s.content.resize(static_cast<size_t>(12 * kPieceLength + 12345));
    for (char& c : s.content) c = static_cast<char>(random() >> 56);
    WriteFile(s.dir / "good/file.bin", s.content);
    WriteFile(s.dir / "moved/elsewhere.bin", s.content);
    // Same size, one wrong byte in every piece: every piece it serves fails
    // its hash.
    std::string damaged = s.content;
    for (size_t at = 1000; at < damaged.size(); at += kPieceLength) damaged[at] = static_cast<char>(~damaged[at]);
    WriteFile(s.dir / "damaged/file.bin", damaged);
    WriteFile(s.dir / "short/file.bin", s.content.substr(0, s.content.size() - 1000));
    // Names as they are on real mirrors: a blank, a literal percent sign, a
    // folder in Chinese with a blank.
    for (const char* name : {"names/Data 156.zip", "names/x%20y.bin", "names/中文 目录/a b.bin"})
      WriteFile(s.dir / name, s.content);
    s.torrent = s.dir / "file.torrent";
    if (!MakeTorrent(s.dir / "good/file.bin", kPieceLength, s.torrent)) s.problem = "pftool make-torrent failed";
  }

  static void TearDownTestSuite() {
    if (!suite->dir.empty()) fs::remove_all(suite->dir);
    delete suite;
    suite = nullptr;
  }

  void SetUp() override {
    if (!suite->problem.empty()) GTEST_FAIL() << suite->problem;
    work_ = suite->dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(work_);
    fs::create_directories(work_);
    target_ = work_ / "save" / "file.bin";
  }

  // A mirror on its own loopback address: the engine takes one address as one
  // source.
  std::string Mirror(LoopbackNginx& nginx, const std::string& address, const std::string& root,
                     const std::vector<LoopbackNginx::Location>& locations = {}) {
    EXPECT_TRUE(nginx.Start(suite->dir / root, work_ / ("nginx-" + address), address, locations));
    return nginx.Url("/file.bin");
  }

  std::vector<std::string> Arguments(const std::vector<std::string>& sources,
                                     const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{PFTOOL_PATH, "download", "--torrent", suite->torrent.string(),
                                  "--target", target_.string()};
    for (const std::string& source : sources) {
      args.push_back("--source");
      args.push_back(source);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Runs pftool; with interruptAfterMs > 0 it gets a Ctrl-C after that long.
  Result Run(const std::vector<std::string>& args, int interruptAfterMs = 0) {
    const fs::path log = work_ / ("pftool-" + std::to_string(runs_++) + ".log");
    return RunToEnd(args, log, kRunTimeoutMs, interruptAfterMs);
  }

  void ExpectComplete(const Result& result) {
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ReadFile(target_) == suite->content) << "the downloaded file differs";
    EXPECT_FALSE(fs::exists(target_.string() + ".pfinfo")) << "the state file outlived the download";
    EXPECT_FALSE(fs::exists(target_.string() + ".pftmp"));
  }

  fs::path work_;
  fs::path target_;
  int runs_ = 0;
};

TEST_F(HttpDownloadTest, OneMirrorDeliversTheFileAndTheStateIsRemoved) {
  LoopbackNginx good;
  ExpectComplete(Run(Arguments({Mirror(good, "127.0.0.1", "good")})));
}

// A bad mirror listed first: the task turns to the good one, and the bad one
// is held back or dropped instead of being asked again and again.
TEST_F(HttpDownloadTest, BrokenMirrorsAreLeftForWorkingOnes) {
  struct Case {
    const char* name;
    const char* root;
    std::vector<LoopbackNginx::Location> answer;
    int mostRequests;
  };
  const Case cases[] = {
      {"500", "good", {LoopbackNginx::Location::Status("/file.bin", 500)}, 1},
      {"503", "good", {LoopbackNginx::Location::Status("/file.bin", 503)}, 1},
      {"404", "good", {LoopbackNginx::Location::Status("/file.bin", 404)}, 1},
      {"redirect loop", "good", {LoopbackNginx::Location::Redirect("/file.bin", "/file.bin")}, 4},
      {"other size", "short", {}, 2},
      {"slow", "good", {{"/file.bin", "limit_rate 32k;"}}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target_.parent_path());
    LoopbackNginx bad, good;
    const std::string badUrl = Mirror(bad, "127.0.0.2", c.root, c.answer);
    ExpectComplete(Run(Arguments({badUrl, Mirror(good, "127.0.0.1", "good")})));
    EXPECT_LE(bad.Requests(), c.mostRequests);
  }
}

// Servers that answer what no good server answers: the task finishes from
// the good mirror with the right bytes, and the bad one is held back.
TEST_F(HttpDownloadTest, MisbehavingServersNeitherCorruptNorStopTheDownload) {
  const std::string& content = suite->content;
  const std::string length = std::to_string(content.size());
  struct Case {
    const char* name;
    ScriptedHttpServer::Script script;
  };
  const Case cases[] = {
      {"header without an end", [](const std::string&) { return "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(1 << 20, 'a'); }},
      {"absurd Content-Length",
       [&](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n" + content; }},
      {"range ignored", [&](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + content; }},
      {"range from elsewhere",
       [&](const std::string&) {
         return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1000-" + std::to_string(content.size() - 1) + "/" +
                length + "\r\n\r\n" + content.substr(1000);
       }},
      {"more than the resource",
       [&](const std::string&) {
         return "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + content + std::string(1 << 20, 'x');
       }},
  };
  // The good mirror is paced, so that the bad server is asked for ranges
  // while the download runs; any bytes taken from it at a wrong offset would
  // show as a bad piece reported to the statistics server.
  const fs::path events = work_ / "events.jsonl";
  testing::Collector collector(events);
  ASSERT_GT(collector.Port(), 0);
  const fs::path ini = work_ / "telemetry.pfconf";
  testing::WriteConfig(ini, {collector.Url()});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target_.parent_path());
    const size_t reportedBefore = ReadFile(events).size();
    ScriptedHttpServer bad("127.0.0.2", c.script);
    LoopbackNginx good;
    const std::string goodUrl = Mirror(good, "127.0.0.1", "good", {{"/file.bin", "limit_rate 8m;"}});
    ExpectComplete(Run(Arguments({bad.Url("/file.bin"), goodUrl}, {"--telemetry", ini.string()})));
    EXPECT_LE(bad.Requests(), 3);
    EXPECT_EQ(ReadFile(events).find("11500101", reportedBefore), std::string::npos)
        << "a bad piece was taken from the bad server";
  }
}

// Three mirrors on their own addresses share the file: each serves a part.
TEST_F(HttpDownloadTest, SegmentsAreSplitBetweenThreeMirrors) {
  LoopbackNginx a, b, c;
  // A modest rate per mirror, so that the split, not the first server's
  // speed, decides who serves what.
  const LoopbackNginx::Location paced{"/file.bin", "limit_rate 4m;"};
  const std::vector<std::string> urls = {Mirror(a, "127.0.0.1", "good", {paced}),
                                         Mirror(b, "127.0.0.2", "good", {paced}),
                                         Mirror(c, "127.0.0.3", "good", {paced})};
  ExpectComplete(Run(Arguments(urls)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nginx logs closed connections
  const int64_t size = static_cast<int64_t>(suite->content.size());
  for (LoopbackNginx* mirror : {&a, &b, &c})
    EXPECT_GT(mirror->BytesSent(), size / 8) << mirror->Url("/file.bin") << " served too little";
  EXPECT_LT(a.BytesSent() + b.BytesSent() + c.BytesSent(), size + size / 2) << "pieces were fetched twice";
}

// One of two mirrors dies in the middle of its answer; the other finishes.
TEST_F(HttpDownloadTest, MirrorDyingMidBodyIsLeftForTheOther) {
  LoopbackNginx dying, good;
  const LoopbackNginx::Location paced{"/file.bin", "limit_rate 2m;"};
  const std::string dyingUrl = Mirror(dying, "127.0.0.2", "good", {paced});
  const auto args = Arguments({dyingUrl, Mirror(good, "127.0.0.1", "good", {paced})});
  const fs::path log = work_ / "pftool-dying.log";
  const pid_t pid = StartProcess(args, log.string());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  dying.Stop();
  Result result;
  result.exitCode = WaitForExit(pid, kRunTimeoutMs);
  result.output = ReadFile(log);
  ExpectComplete(result);
}

// --limit holds the average rate: the whole file at 1250 KB/s takes its
// size / rate seconds (about 20), within 10 %.
TEST_F(HttpDownloadTest, LimitHoldsTheAverageRate) {
  LoopbackNginx good;
  constexpr int kLimitKB = 1250;
  const auto started = std::chrono::steady_clock::now();
  ExpectComplete(Run(Arguments({Mirror(good, "127.0.0.1", "good")}, {"--limit", std::to_string(kLimitKB)})));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double expected = static_cast<double>(suite->content.size()) / (kLimitKB * 1024.0);
  EXPECT_NEAR(seconds, expected, expected / 10) << "average " << suite->content.size() / seconds / 1024 << " KB/s";
}

// The only mirror redirects to another server and path.
TEST_F(HttpDownloadTest, PathsAreRequestedEncodedOnceWhateverFormTheAddressHas) {
  LoopbackNginx nginx;
  ASSERT_TRUE(nginx.Start(suite->dir / "names", work_ / "nginx", "127.0.0.2"));
  const char* paths[] = {
      "/Data%20156.zip",                                          // encoded
      "/Data 156.zip",                                            // raw blank
      "/x%2520y.bin",                                             // a literal "%20" in the name
      "/%E4%B8%AD%E6%96%87%20%E7%9B%AE%E5%BD%95/a%20b.bin",       // encoded UTF-8 folder
      "/中文 目录/a b.bin",                                        // the same, raw
  };
  for (const char* path : paths) {
    fs::remove_all(target_.parent_path());
    SCOPED_TRACE(path);
    ExpectComplete(Run(Arguments({nginx.Url(path)})));
  }
}

TEST_F(HttpDownloadTest, AServerThatClosesAfterEveryMegabyteIsAskedAgainAtOnce) {
  const std::string& content = suite->content;
  constexpr size_t kChunk = 1 << 20;
  // Honours Range, but ends every connection after a megabyte of body.
  ScriptedHttpServer closing("127.0.0.2", [&](const std::string& request) {
    size_t from = 0;
    if (const size_t at = request.find("Range: bytes="); at != std::string::npos)
      from = std::strtoull(request.c_str() + at + 13, nullptr, 10);
    if (from >= content.size()) return std::string("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n");
    const std::string total = std::to_string(content.size());
    std::string head = from == 0 ? "HTTP/1.1 200 OK\r\n"
                                 : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                                       std::to_string(content.size() - 1) + "/" + total + "\r\n";
    head += "Content-Length: " + std::to_string(content.size() - from) + "\r\n\r\n";
    return head + content.substr(from, kChunk);
  });
  const auto started = std::chrono::steady_clock::now();
  ExpectComplete(Run(Arguments({closing.Url("/file.bin")})));
  // One connection a megabyte, each asked for within about a second of the last.
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, std::chrono::seconds(content.size() / kChunk + 10));
}

TEST_F(HttpDownloadTest, RedirectLoopsAndRedirectsToUnusableAddressesAreGivenUp) {
  // /r<n> sends the client on to /r<n+1>, for ever; /c.bin to another scheme.
  ScriptedHttpServer endless("127.0.0.2", [](const std::string& request) {
    const size_t at = request.find("GET /");
    if (request.compare(at + 5, 5, "c.bin") == 0)
      return std::string("HTTP/1.1 302 Found\r\nLocation: gopher://127.0.0.2/file.bin\r\nContent-Length: 0\r\n\r\n");
    const long n = request.compare(at + 5, 1, "r") == 0 ? std::strtol(request.c_str() + at + 6, nullptr, 10) : 0;
    return "HTTP/1.1 302 Found\r\nLocation: /r" + std::to_string(n + 1) + "\r\nContent-Length: 0\r\n\r\n";
  });
  // The good mirror takes about fifteen seconds, long enough for a chain
  // that is never given up to show.
  LoopbackNginx good;
  const std::string goodUrl = Mirror(good, "127.0.0.3", "good", {{"/file.bin", "limit_rate 1600k;"}});
  const int before = endless.Requests();
  ExpectComplete(Run(Arguments({endless.Url("/r0"), goodUrl})));
  // Eight links at most, each asked at most three times (a chain followed
  // for ever makes about three requests a second here).
  EXPECT_LE(endless.Requests() - before, 30) << "the redirect chain was followed on and on";
  ScriptedHttpServer elsewhere("127.0.0.4", [](const std::string&) {
    return std::string("HTTP/1.1 302 Found\r\nLocation: gopher://127.0.0.2/file.bin\r\nContent-Length: 0\r\n\r\n");
  });
  fs::remove_all(target_.parent_path());
  ExpectComplete(Run(Arguments({elsewhere.Url("/c.bin"), goodUrl})));
  EXPECT_LE(elsewhere.Requests(), 2) << "a redirect to another scheme was asked for again";
}

TEST_F(HttpDownloadTest, AStateFileOfAnotherTorrentOrUnreadableIsSetAsideNotContinued) {
  LoopbackNginx nginx;
  const std::string url = Mirror(nginx, "127.0.0.2", "good");
  // The state another torrent's download left (its metainfo inside), and bytes that are no state at all.
  const fs::path otherFile = work_ / "other.bin";
  WriteFile(otherFile, std::string(70000, 'o'));
  const fs::path otherTorrent = work_ / "other.torrent";
  ASSERT_TRUE(MakeTorrent(otherFile, 32768, otherTorrent));
  const fs::path foreign = work_ / "foreign.pfinfo";
  {
    const Result partial = Run({PFTOOL_PATH, "download", "--torrent", otherTorrent.string(), "--target",
                                (work_ / "other-save" / "other.bin").string(), "--resume", foreign.string(),
                                "--source", "http://127.0.0.1:1/none"},
                               1500);
    ASSERT_TRUE(fs::exists(foreign)) << partial.output;
  }
  const fs::path garbage = work_ / "garbage.pfinfo";
  WriteFile(garbage, "this is no task state");
  const struct {
    fs::path state;
    const char* said;
    const char* aside;
  } cases[] = {{foreign, "is the state of another torrent", ".other"},
               {garbage, "is not a readable task state", ".unreadable"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    fs::remove_all(target_.parent_path());
    const std::string before = ReadFile(c.state);
    const Result result = Run(Arguments({url}, {"--resume", c.state.string()}));
    ExpectComplete(result);
    EXPECT_NE(result.output.find(c.said), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("continuing from"), std::string::npos) << result.output;
    EXPECT_EQ(ReadFile(c.state.string() + c.aside), before) << "the state was not kept aside as it was";
  }
}

TEST_F(HttpDownloadTest, ATargetThatCannotBeWrittenFailsAtOnceSayingWhy) {
  LoopbackNginx nginx;
  const std::string url = Mirror(nginx, "127.0.0.2", "good");
  // The target's folder would have to be where a file is.
  WriteFile(work_ / "blocker", "x");
  std::vector<std::string> args = Arguments({url});
  const fs::path unwritable = work_ / "blocker" / "file.bin";
  args[5] = unwritable.string();  // the value of --target
  const Result result = Run(args);
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("failed with state 20215"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("Not a directory"), std::string::npos) << result.output;
  EXPECT_LT(nginx.BytesSent(), static_cast<int64_t>(suite->content.size()) * 2)
      << "the file was fetched over and over although it cannot be stored";
}

TEST_F(HttpDownloadTest, RedirectIsFollowedToAnotherServer) {
  LoopbackNginx moved, redirecting;
  Mirror(moved, "127.0.0.3", "moved");
  const std::string url =
      Mirror(redirecting, "127.0.0.2", "good", {LoopbackNginx::Location::Redirect("/file.bin", moved.Url("/elsewhere.bin"))});
  ExpectComplete(Run(Arguments({url})));
}

TEST_F(HttpDownloadTest, DamagedBytesFromOneMirrorAreRepairedFromTheOther) {
  LoopbackNginx damaged, good;
  const std::string damagedUrl = Mirror(damaged, "127.0.0.2", "damaged");
  ExpectComplete(Run(Arguments({damagedUrl, Mirror(good, "127.0.0.1", "good")})));
}

TEST_F(HttpDownloadTest, BadPiecesAreReportedToTheStatisticsServer) {
  const fs::path events = work_ / "events.jsonl";
  testing::Collector collector(events);
  ASSERT_GT(collector.Port(), 0);
  const fs::path ini = work_ / "telemetry.pfconf";
  testing::WriteConfig(ini, {collector.Url()});
  LoopbackNginx damaged, good;
  const std::string damagedUrl = Mirror(damaged, "127.0.0.2", "damaged");
  ExpectComplete(Run(Arguments({damagedUrl, Mirror(good, "127.0.0.1", "good")}, {"--telemetry", ini.string()})));
  const std::string reported = ReadFile(events);
  EXPECT_NE(reported.find("11500101"), std::string::npos) << reported.substr(0, 2000);
  EXPECT_NE(reported.find(damagedUrl), std::string::npos) << "the event names the mirror";
}

TEST_F(HttpDownloadTest, InterruptedRunIsContinuedWithoutFetchingEverythingAgain) {
  LoopbackNginx good;
  const std::string url = Mirror(good, "127.0.0.1", "good");
  const std::string state = (work_ / "task.pfinfo").string();
  // 4 MB/s: the Ctrl-C comes with about half of the file held.
  const Result first = Run(Arguments({url}, {"--resume", state, "--limit", "4096"}), 3500);
  ASSERT_EQ(first.exitCode, 130) << first.output;
  ASSERT_TRUE(fs::exists(state)) << "no state was saved on Ctrl-C\n" << first.output;

  // nginx logs the cut connection just after it closes.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t sentBefore = good.BytesSent();
  ExpectComplete(Run(Arguments({url}, {"--resume", state})));
  EXPECT_FALSE(fs::exists(state));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int64_t sentAgain = good.BytesSent() - sentBefore;
  EXPECT_GT(sentAgain, 0);
  EXPECT_LT(sentAgain, static_cast<int64_t>(suite->content.size()) - 2 * kPieceLength)
      << "the second run fetched (nearly) the whole file again";
}

}  // namespace
}  // namespace pf
