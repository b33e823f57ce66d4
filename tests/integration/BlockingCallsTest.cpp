// Nothing a source does holds up the loop that drives a task's other
// sources: a mirror whose host name goes to a DNS server that never answers
// sits beside a good mirror, and the good mirror delivers as fast as it does
// alone. Runs in a network namespace of its own (the test starts itself
// again inside it), whose resolver asks a local server that never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/api/EngineApi.h"
#include "support/LoopbackServers.h"
#include "support/NetworkNamespace.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;
using Clock = std::chrono::steady_clock;

constexpr char kInsideVariable[] = "PF_BLOCKING_NETNS_DIR";

constexpr char kSilentDns[] = R"PY(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 53))
open(sys.argv[1], 'w').write('ready\n')
while True:
    s.recvfrom(512)
)PY";

// Seconds the task needs for the whole file from `sources` at a fixed rate.
double DownloadSeconds(const TorrentFixture& torrent, const fs::path& target, const std::string& sources,
                       int limitKB) {
  TaskParams p{};
  std::snprintf(p.key, sizeof p.key, "file://%s", torrent.path.c_str());
  std::snprintf(p.target, sizeof p.target, "%s", target.c_str());
  p.sourceList = sources.c_str();
  p.flags = kTaskP2SP | kTaskTargetIsFile;
  const auto start = Clock::now();
  if (CreateTask(&p) != kOk) return -1;
  SetTaskRateLimit(p.handle, 1, limitKB);
  int32_t complete = 0;
  while (IsTaskComplete(p.handle, &complete) == kOk && !complete && Clock::now() - start < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  StopTask(p.handle, 1);
  return complete ? seconds : -1;
}

TEST(BlockingCalls, AMirrorWhoseNameNeverResolvesDoesNotSlowTheGoodOne) {
  const char* inside = std::getenv(kInsideVariable);
  if (!inside) {
    const fs::path dir = fs::temp_directory_path() / ("pf-blocking-" + std::to_string(::getpid()));
    if (!ProgramExists("unshare") || !ProgramExists("nginx") || ::geteuid() != 0)
      GTEST_SKIP() << "needs root, unshare and nginx";
    const int status = RunInsideResolverNamespace(kInsideVariable, dir, "BlockingCalls.*");
    EXPECT_EQ(status, 0) << "the checks inside the namespace failed; see the output above";
    fs::remove_all(dir);
    return;
  }

  const fs::path dir = inside;
  WriteFile(dir / "dns.py", kSilentDns);
  const pid_t dns = StartProcess({"/usr/bin/python3", (dir / "dns.py").string(), (dir / "dns.ready").string()},
                                 (dir / "dns.err").string());
  struct StopDns {
    pid_t pid;
    ~StopDns() { StopProcess(pid); }
  } stopDns{dns};
  for (int i = 0; i < 100 && !fs::exists(dir / "dns.ready"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(dir / "dns.ready")) << ReadFile(dir / "dns.err");

  fs::create_directories(dir / "www");
  TorrentFixture torrent(dir, "payload.bin", 24 << 20, 262144, 11);
  WriteFile(dir / "www" / "payload.bin", torrent.content);
  LoopbackNginx nginx;
  ASSERT_TRUE(nginx.Start(dir / "www", dir / "nginx"));
  ASSERT_EQ(StartEngine("blocking"), kOk);
  SetP2PEnabled(0);

  constexpr int kLimitKB = 4096;  // about six seconds for the file
  const std::string good = nginx.Url("/payload.bin");
  const double alone = DownloadSeconds(torrent, dir / "alone.bin", good, kLimitKB);
  // The silent name comes first, so that its lookup starts before the good
  // mirror is connected.
  const double beside =
      DownloadSeconds(torrent, dir / "beside.bin", "http://never-answered.test/payload.bin\n" + good, kLimitKB);
  StopEngine();
  ASSERT_GT(alone, 0);
  ASSERT_GT(beside, 0) << "the download beside the silent name did not finish";
  EXPECT_EQ(ReadFile(dir / "beside.bin"), torrent.content);
  EXPECT_LE(beside, alone * 1.10) << "alone " << alone << " s, beside a silent name " << beside << " s";
}

}  // namespace
}  // namespace pf
