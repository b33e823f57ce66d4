// `pftool download` from FTP mirrors on loopback: vsftpd and pyftpdlib
// deliver the file byte-identical, alone and beside an HTTP mirror; a
// scripted server that refuses the login, lies about the size or ends its
// data early is told once and left for a good mirror, or read to the end.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/LoopbackFtpServers.h"
#include "support/LoopbackServers.h"
#include "support/ScriptedFtpServer.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 2097152;
constexpr int kRunTimeoutMs = 60000;

struct Suite {
  fs::path dir;
  fs::path root;        // the FTP servers' root, not writable
  std::string content;  // 12 pieces and a short last one
  fs::path torrent;
  std::string problem;  // why the suite cannot run
};
Suite* suite = nullptr;

class FtpDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite = new Suite;
    Suite& s = *suite;
    if (!ProgramExists(SbinProgram("vsftpd"))) {
      s.problem = "vsftpd is not installed (scripts/setup installs it)";
      return;
    }
    s.dir = fs::temp_directory_path() / ("pf-ftp-download-" + std::to_string(::getpid()));
    fs::remove_all(s.dir);
    s.root = s.dir / "root";
    fs::create_directories(s.root / "pub" / "my dir");
    std::mt19937_64 random(43);
    s.content.resize(static_cast<size_t>(12 * kPieceLength + 12345));
    for (char& c : s.content) c = static_cast<char>(random() >> 56);
    WriteFile(s.root / "pub/file.bin", s.content);
    WriteFile(s.root / "pub/my dir/a b.bin", s.content);
    ::chmod(s.root.c_str(), 0555);
    s.torrent = s.dir / "file.torrent";
    if (!MakeTorrent(s.root / "pub/file.bin", kPieceLength, s.torrent)) s.problem = "pftool make-torrent failed";
  }

  static void TearDownTestSuite() {
    if (!suite->dir.empty()) {
      ::chmod(suite->root.c_str(), 0755);
      fs::remove_all(suite->dir);
    }
    delete suite;
    suite = nullptr;
  }

  void SetUp() override {
    if (!suite->problem.empty()) GTEST_FAIL() << suite->problem;
    work_ = suite->dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(work_);
    target_ = work_ / "save" / "file.bin";
  }

  std::string Vsftpd(LoopbackFtpServer& server, const std::string& address, int maxRate = 0) {
    EXPECT_TRUE(server.StartVsftpd(suite->root, work_ / ("vsftpd-" + address), address, maxRate));
    return server.Url("/pub/file.bin");
  }

  Result Run(const std::vector<std::string>& sources) {
    std::vector<std::string> args{PFTOOL_PATH, "download", "--torrent", suite->torrent.string(),
                                  "--target", target_.string()};
    for (const std::string& source : sources) {
      args.push_back("--source");
      args.push_back(source);
    }
    fs::remove_all(target_.parent_path());
    const fs::path log = work_ / ("pftool-" + std::to_string(runs_++) + ".log");
    return RunToEnd(args, log, kRunTimeoutMs);
  }

  void ExpectComplete(const Result& result) {
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ReadFile(target_) == suite->content) << "the downloaded file differs";
    EXPECT_FALSE(fs::exists(target_.string() + ".pfinfo")) << "the state file outlived the download";
  }

  fs::path work_;
  fs::path target_;
  int runs_ = 0;
};

TEST_F(FtpDownloadTest, RealServersDeliverTheFileAsMirrorBytes) {
  LoopbackFtpServer vsftpd, pyftpdlib;
  const std::string anonymous = Vsftpd(vsftpd, "127.0.0.2");
  ASSERT_TRUE(pyftpdlib.StartPyftpdlib(suite->root, work_ / "pyftpdlib", "127.0.0.3", "mirror", "s3cret"))
      << "python3-pyftpdlib is missing (scripts/setup installs it)";
  const struct {
    const char* name;
    std::string url;
  } cases[] = {
      {"vsftpd, anonymous", anonymous},
      {"vsftpd, a folder and name with blanks", vsftpd.Url("/pub/my%20dir/a b.bin")},
      {"pyftpdlib, user and password", pyftpdlib.Url("/pub/file.bin", "mirror:s3cret")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = Run({c.url});
    ExpectComplete(result);
    // Counted where HTTP mirrors' bytes are.
    EXPECT_NE(result.output.find("http bytes: " + std::to_string(suite->content.size())), std::string::npos)
        << result.output;
  }
}

// A bad FTP server listed first: it is told once with its reason and left
// alone, and the good mirror delivers the file.
TEST_F(FtpDownloadTest, ABadServerIsToldOnceAndLeftForAGoodMirror) {
  const std::string& content = suite->content;
  struct Case {
    const char* name;
    ScriptedFtpServer::Script script;
    std::string told;
    int mostLogins;
  };
  const Case cases[] = {
      {"login refused", {.content = content, .loginReply = "530 Login incorrect."},
       "refused the login (530 Login incorrect.); not asked again", 1},
      {"size larger than the file", {.content = content, .size = std::to_string(content.size() + 1000)},
       "serves " + std::to_string(content.size() + 1000) + " bytes where the torrent has", 1},
      // Whichever part it is given, its data ends before that part.
      {"size of the torrent, file of one piece",
       {.content = content.substr(0, kPieceLength), .size = std::to_string(content.size())},
       "ended the file's data early; asked again later", 4},
  };
  // The good mirror is paced, so that the bad one is asked for its part.
  LoopbackFtpServer good;
  const std::string goodUrl = Vsftpd(good, "127.0.0.2", 4 << 20);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer bad("127.0.0.3", c.script);
    ASSERT_TRUE(bad.Listening());
    const Result result = Run({bad.Url("/pub/file.bin", "mirror:s3cret"), goodUrl});
    ExpectComplete(result);
    const std::string told = bad.Url("/pub/file.bin", "mirror:***") + ": " + c.told;
    EXPECT_NE(result.output.find(told), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(told), result.output.rfind(told)) << "told more than once";
    EXPECT_EQ(result.output.find("s3cret"), std::string::npos) << "the password was shown";
    EXPECT_LE(bad.Count("PASS"), c.mostLogins);
  }
  // What real servers and addresses say: a missing file, nobody listening.
  LoopbackFtpServer other;
  ASSERT_TRUE(other.StartVsftpd(suite->root, work_ / "vsftpd-other", "127.0.0.4"));
  const std::string nobody = "ftp://127.0.0.5:" + std::to_string(FreeLoopbackPort()) + "/pub/file.bin";
  const struct {
    std::string url;
    std::string told;
  } addresses[] = {
      {other.Url("/pub/none.bin"), other.Url("/pub/none.bin") + ": has no such file (550 "},
      {nobody, nobody + ": cannot be reached (Connection refused)"},
  };
  for (const auto& a : addresses) {
    SCOPED_TRACE(a.url);
    const Result result = Run({a.url, goodUrl});
    ExpectComplete(result);
    EXPECT_NE(result.output.find(a.told), std::string::npos) << result.output;
  }
}

TEST_F(FtpDownloadTest, AServerThatEndsEveryDataConnectionEarlyStillDeliversTheFile) {
  constexpr size_t kDataLimit = 3 << 20;
  ScriptedFtpServer closing("127.0.0.3", {.content = suite->content, .dataLimit = kDataLimit});
  ASSERT_TRUE(closing.Listening());
  ExpectComplete(Run({closing.Url("/pub/file.bin")}));
  EXPECT_GE(closing.Count("RETR"), static_cast<int>(suite->content.size() / kDataLimit));
}

// One FTP and one HTTP mirror share the file.
TEST_F(FtpDownloadTest, AnFtpAndAnHttpMirrorCompleteTogether) {
  LoopbackFtpServer ftp;
  const std::string ftpUrl = Vsftpd(ftp, "127.0.0.2");
  LoopbackNginx nginx;
  // Paced, so that the FTP mirror's part is not taken by the faster start.
  ASSERT_TRUE(nginx.Start(suite->root / "pub", work_ / "nginx", "127.0.0.4", {{"/file.bin", "limit_rate 4m;"}}));
  const Result result = Run({ftpUrl, nginx.Url("/file.bin")});
  ExpectComplete(result);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nginx logs closed connections
  const int64_t size = static_cast<int64_t>(suite->content.size());
  EXPECT_GT(nginx.BytesSent(), 0) << "the HTTP mirror served nothing";
  EXPECT_LT(nginx.BytesSent(), size) << "the FTP mirror served nothing";
  EXPECT_NE(result.output.find("http bytes: " + std::to_string(size)), std::string::npos) << result.output;
}

}  // namespace
}  // namespace pf
