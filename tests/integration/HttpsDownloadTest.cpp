// `pftool download` from nginx over HTTPS on loopback, with a CA this test
// makes and gives with --ca-file: the file arrives directly, after a redirect
// from http, and through an HTTP CONNECT and a SOCKS5 proxy; a server whose
// certificate is not trusted (another CA, another name, no TLS at all) is
// refused once with OpenSSL's reason and dropped, and nothing is taken from it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServers.h"
#include "support/TestCertificates.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 2097152;
constexpr int kRunTimeoutMs = 60000;
constexpr const char* kRefusal = "TLS: ";

struct Suite {
  fs::path dir;
  std::string content;
  fs::path torrent;
  std::string problem;  // why the suite cannot run
};
Suite* suite = nullptr;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class HttpsDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    Suite& s = *suite;
    for (const char* program : {"nginx", "openssl", "tinyproxy", "microsocks"})
      if (!ProgramExists(program)) s.problem += std::string(program) + " is not installed (scripts/setup installs it) ";
    if (!s.problem.empty()) return;
    s.dir = fs::temp_directory_path() / ("pf-https-download-" + std::to_string(::getpid()));
    fs::remove_all(s.dir);
    fs::create_directories(s.dir / "www");
    std::mt19937_64 random(443);
    s.content.resize(static_cast<size_t>(6 * kPieceLength + 1234));
    for (char& c : s.content) c = static_cast<char>(random() >> 56);
    WriteFile(s.dir / "www/file.bin", s.content);
    s.torrent = s.dir / "file.torrent";
    if (!MakeCa(s.dir, "package", "IP:127.0.0.1,IP:127.0.0.2") || !MakeCa(s.dir, "stranger"))
      s.problem = "openssl could not make the CAs";
    else if (!MakeTorrent(s.dir / "www/file.bin", kPieceLength, s.torrent)) s.problem = "pftool make-torrent failed";
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

  // nginx on `address` serving the file over HTTPS with the certificate the
  // CA `ca` signed ("" = plain HTTP).
  void StartMirror(LoopbackNginx& nginx, const std::string& ca, const std::string& address = "127.0.0.1",
                   const std::vector<LoopbackNginx::Location>& locations = {}) {
    if (!ca.empty()) nginx.UseTls(suite->dir / (ca + "-server.pem"), suite->dir / (ca + "-server.key"));
    ASSERT_TRUE(nginx.Start(suite->dir / "www", work_ / ("nginx-" + std::to_string(mirrors_++)), address, locations));
  }

  // pftool in the test's own folder (where a PelicanfetchTaskLink.ini may
  // name a proxy); the package's CA is given unless `caFile` says otherwise.
  Result Run(const std::vector<std::string>& sources, int interruptAfterMs = 0,
             const fs::path& caFile = suite->dir / "package-ca.pem") {
    std::vector<std::string> args{"sh",        "-c",      "cd \"$0\" && exec \"$@\"",
                                  work_.string(), PFTOOL_PATH, "download", "--torrent", suite->torrent.string(),
                                  "--target",  target_.string()};
    for (const std::string& source : sources) {
      args.push_back("--source");
      args.push_back(source);
    }
    if (!caFile.empty()) {
      args.push_back("--ca-file");
      args.push_back(caFile.string());
    }
    const fs::path log = work_ / ("pftool-" + std::to_string(runs_++) + ".log");
    return RunToEnd(args, log, kRunTimeoutMs, interruptAfterMs);
  }

  void ExpectComplete(const Result& result) {
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ReadFile(target_) == suite->content) << "the downloaded file differs";
    EXPECT_EQ(result.output.find(kRefusal), std::string::npos) << result.output;
  }

  fs::path work_;
  fs::path target_;
  int runs_ = 0;
  int mirrors_ = 0;
};

TEST_F(HttpsDownloadTest, TrustedServersDeliverTheFileDirectlyAfterARedirectAndThroughProxies) {
  LoopbackNginx secure, plain, plainHere;
  StartMirror(secure, "package");
  const LoopbackNginx::Location moved = LoopbackNginx::Location::Redirect("/moved.bin", secure.Url("/file.bin"));
  StartMirror(plain, "", "127.0.0.2", {moved});
  // The usual case: a site's http address sends the client to https on the
  // same address.
  StartMirror(plainHere, "", "127.0.0.1", {moved});
  const int proxyPort = FreeLoopbackPort();
  const int socksPort = FreeLoopbackPort();
  WriteFile(work_ / "tinyproxy.conf", "Port " + std::to_string(proxyPort) +
                                          "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.0/8\nPidFile \"" +
                                          (work_ / "tinyproxy.pid").string() + "\"\n");
  const pid_t tinyproxy =
      StartProcess({"tinyproxy", "-d", "-c", (work_ / "tinyproxy.conf").string()}, (work_ / "proxies.log").string());
  const pid_t microsocks = StartProcess({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(socksPort)},
                                        (work_ / "proxies.log").string());
  ASSERT_TRUE(WaitForPort(proxyPort) && WaitForPort(socksPort));
  const struct {
    const char* name;
    std::string source;
    std::string proxy;  // the [Proxy] section's Type and Port, or none
  } cases[] = {
      {"direct", secure.Url("/file.bin"), ""},
      {"redirect from http", plain.Url("/moved.bin"), ""},
      {"redirect from http on the same address", plainHere.Url("/moved.bin"), ""},
      {"HTTP CONNECT proxy", secure.Url("/file.bin"), "Type=1\nPort=" + std::to_string(proxyPort)},
      {"SOCKS5 proxy", secure.Url("/file.bin"), "Type=3\nPort=" + std::to_string(socksPort)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target_.parent_path());
    fs::remove(work_ / "PelicanfetchTaskLink.ini");
    if (!c.proxy.empty()) WriteFile(work_ / "PelicanfetchTaskLink.ini", "[Proxy]\nHost=127.0.0.1\n" + c.proxy + "\n");
    const int64_t servedBefore = secure.BytesSent();
    const Result result = Run({c.source});
    ExpectComplete(result);
    EXPECT_EQ(result.output.find("through the proxy") != std::string::npos, !c.proxy.empty()) << result.output;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nginx logs closed connections
    EXPECT_GE(secure.BytesSent() - servedBefore, static_cast<int64_t>(suite->content.size()))
        << "the file did not come from the HTTPS server";
  }
  StopProcess(microsocks);
  StopProcess(tinyproxy);
}

TEST_F(HttpsDownloadTest, UntrustedServersAreRefusedOnceWithTheReasonAndNothingIsTakenFromThem) {
  // One address is one mirror to the engine: each server has its own. The
  // package's certificate names 127.0.0.1 and 127.0.0.2.
  LoopbackNginx good, stranger, renamed, elsewhere, plain;
  // Paced, so that the run lasts long enough for every source to be tried.
  StartMirror(good, "package", "127.0.0.2", {{"/file.bin", "limit_rate 4m;"}});
  StartMirror(stranger, "stranger", "127.0.0.3");
  StartMirror(renamed, "package", "127.0.0.1");
  StartMirror(elsewhere, "package", "127.0.0.4");
  StartMirror(plain, "", "127.0.0.5");
  const std::string strangerUrl = stranger.Url("/file.bin");
  const struct {
    const char* name;
    LoopbackNginx* server;
    std::string source;
    const char* reason;  // OpenSSL's words
  } cases[] = {
      {"signed by another CA", &stranger, strangerUrl, "unable to get local issuer certificate"},
      {"a host name the certificate does not carry", &renamed,
       "https://localhost:" + std::to_string(renamed.Port()) + "/file.bin", "hostname mismatch"},
      {"an address the certificate does not carry", &elsewhere, elsewhere.Url("/file.bin"), "IP address mismatch"},
      {"no TLS on the port", &plain, "https://127.0.0.5:" + std::to_string(plain.Port()) + "/file.bin",
       "wrong version number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target_.parent_path());
    const int requestsBefore = c.server->Requests();
    const auto started = std::chrono::steady_clock::now();
    const Result result = Run({c.source, good.Url("/file.bin")});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ReadFile(target_) == suite->content) << "the downloaded file differs";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(Count(result.output, kRefusal), 1u) << result.output;
    EXPECT_NE(result.output.find(c.source + ": " + kRefusal), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(c.reason), std::string::npos) << result.output;
    // A TLS server never saw a request; the plain one saw the handshake's
    // bytes as one bad request.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(c.server->Requests() - requestsBefore, c.server == &plain ? 1 : 0);
  }

  // Alone, the refused server is not asked again, and nothing is held.
  fs::remove_all(target_.parent_path());
  const Result alone = Run({strangerUrl}, 6000);
  EXPECT_EQ(alone.exitCode, 130) << alone.output;
  EXPECT_EQ(Count(alone.output, kRefusal), 1u) << alone.output;
  EXPECT_NE(alone.output.find("stopped; 0 B of"), std::string::npos) << alone.output;

  // Without the package's CA its own server is not trusted either.
  fs::remove_all(target_.parent_path());
  const Result withoutCa = Run({good.Url("/file.bin")}, 3000, fs::path());
  EXPECT_EQ(withoutCa.exitCode, 130) << withoutCa.output;
  EXPECT_NE(withoutCa.output.find("unable to get local issuer certificate"), std::string::npos) << withoutCa.output;
}

}  // namespace
}  // namespace pf
