// Nothing a source does holds up the loop that drives a task's other
// sources: a mirror whose host name goes to a DNS server that never answers
// and a mirror behind a proxy that takes the connection and never answers
// sit beside a good mirror, and the good mirror delivers as fast as it does
// alone. Runs in a network namespace of its own (the test starts itself
// again inside it), whose resolver asks a local server that never answers.
//
// Proxies are process-wide; here one mirror gets a proxy of its own through
// an HTTP peer that hands its settings to the connection, the same path the
// process-wide default takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/api/EngineApi.h"
#include "engine/net/QProxySettings.h"
#include "engine/peers/THttpPeer.h"
#include "engine/task/TWorkWithPeers.h"
#include "support/Ipv4.h"
#include "support/ScopedProcessState.h"
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

// A proxy that takes every connection and never says a word; it counts
// what it took.
class SilentProxy {
 public:
  SilentProxy() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 64) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
      port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int taken = ::accept(fd_, nullptr, nullptr);
        if (taken < 0) return;  // closed: the test is over
        held_.push_back(taken);
        ++taken_;
      }
    });
  }
  ~SilentProxy() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
    for (int fd : held_) ::close(fd);
  }
  int Port() const { return port_; }
  int Taken() const { return taken_.load(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> taken_{0};
  std::vector<int> held_;  // the accepting thread's
  std::thread thread_;
};

// An HTTP source whose connections to one address go through a proxy of
// their own; other addresses connect as usual.
class ProxiedMirrorPeer : public THttpPeer {
 public:
  static inline uint32_t proxiedIp = 0;  // set before any task starts
  static inline QProxySettings proxy;

  explicit ProxiedMirrorPeer(PeerHost* host) : THttpPeer(host) {}
  bool AttachSource(TPeerId* source) override {
    if (source->ip != proxiedIp) return THttpPeer::AttachSource(source);
    if (!TPeerObject::AttachSource(source)) return false;
    if (!connection) connection = std::make_unique<QTcpSocket>();
    if (!connection->Connect(source->ip, static_cast<uint16_t>(source->port), false, &proxy)) return false;
    linkState = kConnected;
    const std::string request = "GET " + source->Details().httpPath + " HTTP/1.1\r\nHost: " +
                                source->Details().host + "\r\nRange: bytes=0-\r\n\r\n";
    return connection->Send(request.data(), static_cast<int>(request.size())) >= 0;
  }
};

TPeerObject* MakeProxiedMirrorPeer(PeerHost* host) { return new ProxiedMirrorPeer(host); }

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

TEST(BlockingCalls, MirrorsBehindASilentProxyOrASilentDnsServerDoNotSlowTheGoodOne) {
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
  SilentProxy proxy;
  ASSERT_GT(proxy.Port(), 0);
  ScopedProcessState restore;
  ProxiedMirrorPeer::proxiedIp = Ip(127, 0, 0, 3);
  ProxiedMirrorPeer::proxy.type = kProxySocks5;
  ProxiedMirrorPeer::proxy.ip = Ip(127, 0, 0, 1);
  ProxiedMirrorPeer::proxy.port = proxy.Port();
  ASSERT_EQ(StartEngine("blocking"), kOk);
  TWorkWithPeers::RegisterPeerClass(kHttp, &MakeProxiedMirrorPeer);
  SetP2PEnabled(0);

  constexpr int kLimitKB = 4096;  // about six seconds for the file
  const std::string good = nginx.Url("/payload.bin");
  const double alone = DownloadSeconds(torrent, dir / "alone.bin", good, kLimitKB);
  // The silent ones come first, so that they start before the good mirror
  // is connected.
  const std::string proxied = "http://127.0.0.3:" + std::to_string(nginx.Port()) + "/payload.bin";
  const double beside = DownloadSeconds(torrent, dir / "beside.bin",
                                        "http://never-answered.test/payload.bin\n" + proxied + "\n" + good, kLimitKB);
  StopEngine();
  ASSERT_GT(alone, 0);
  ASSERT_GT(beside, 0) << "the download beside the silent name did not finish";
  EXPECT_EQ(ReadFile(dir / "beside.bin"), torrent.content);
  EXPECT_GT(proxy.Taken(), 0) << "the proxied mirror was never tried";
  EXPECT_LE(beside, alone * 1.10) << "alone " << alone << " s, beside the silent ones " << beside << " s";
}

}  // namespace
}  // namespace pf
