// `pftool download` against web servers as mirrors are in the wild (apache2,
// busybox httpd, caddy, mini_httpd, python's http.server) and scripted
// servers for what they do between them: chunked bodies, bodies without a
// length, ranges ignored. Every run checks the final bytes; the messages say
// why a source was left, once, and a download without any source left ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServers.h"
#include "support/ScriptedHttpServer.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int kPieceLength = 1 << 20;
constexpr int kRunTimeoutMs = 60000;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A real web server serving one folder on a loopback address.
class WebServer {
 public:
  using Command = std::function<std::vector<std::string>(const fs::path& root, const fs::path& work,
                                                         const std::string& address, int port)>;

  bool Start(const std::string& program, const Command& command, const fs::path& root, const fs::path& work,
             const std::string& address) {
    if (!ProgramExists(program)) return false;
    fs::create_directories(work);
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreeLoopbackPort();
      address_ = address;
      pid_ = StartProcess(command(root, work, address, port_), (work / "server.log").string());
      if (WaitForPort(port_, 5000, address)) return true;
      StopProcess(pid_);
    }
    pid_ = -1;
    return false;
  }
  ~WebServer() { StopProcess(pid_); }
  std::string Url(const std::string& path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + path;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string address_;
};

std::vector<std::string> Apache(const fs::path& root, const fs::path& work, const std::string& address, int port) {
  const std::string modules = "/usr/lib/apache2/modules/";
  WriteFile(work / "apache.conf",
            "LoadModule mpm_event_module " + modules + "mod_mpm_event.so\n"
            "LoadModule authz_core_module " + modules + "mod_authz_core.so\n"
            "Listen " + address + ":" + std::to_string(port) + "\nServerName " + address +
            "\nPidFile " + (work / "apache.pid").string() + "\nErrorLog " + (work / "error.log").string() +
            "\nMutex file:" + work.string() + "\nDocumentRoot \"" + root.string() + "\"\n<Directory \"" +
            root.string() + "\">\n  Require all granted\n</Directory>\n");
  return {"apache2", "-X", "-f", (work / "apache.conf").string()};
}

std::vector<std::string> Busybox(const fs::path& root, const fs::path&, const std::string& address, int port) {
  return {"busybox", "httpd", "-f", "-p", address + ":" + std::to_string(port), "-h", root.string()};
}

std::vector<std::string> Caddy(const fs::path& root, const fs::path& work, const std::string& address, int port) {
  WriteFile(work / "Caddyfile", "{\n  admin off\n  auto_https off\n}\nhttp://" + address + ":" + std::to_string(port) +
                                    " {\n  root * " + root.string() + "\n  file_server\n}\n");
  // Caddy keeps its state under the home and XDG folders: the test's own.
  return {"env", "HOME=" + work.string(), "XDG_DATA_HOME=" + work.string(), "XDG_CONFIG_HOME=" + work.string(),
          "caddy", "run", "--config", (work / "Caddyfile").string(), "--adapter", "caddyfile"};
}

std::vector<std::string> MiniHttpd(const fs::path& root, const fs::path& work, const std::string& address, int port) {
  return {"mini_httpd", "-D", "-p", std::to_string(port), "-h", address, "-d", root.string(),
          "-l", (work / "access.log").string()};
}

std::vector<std::string> PythonServer(const fs::path& root, const fs::path&, const std::string& address, int port) {
  return {"/usr/bin/python3", "-m", "http.server", std::to_string(port), "--bind", address, "--directory",
          root.string()};
}

// The body of a chunked answer: chunks of varying sizes, one with an
// extension, and a trailer.
std::string Chunked(const std::string& body) {
  std::string out;
  std::mt19937 random(5);
  char size[32];
  for (size_t at = 0; at < body.size();) {
    const size_t length = std::min<size_t>(body.size() - at, 1 + random() % 300000);
    std::snprintf(size, sizeof size, at == 0 ? "%zx;name=value\r\n" : "%zX\r\n", length);
    out.append(size).append(body, at, length).append("\r\n");
    at += length;
  }
  return out + "0\r\nX-Checksum: none\r\n\r\n";
}

// The start of the asked range, 0 without one.
size_t RangeStart(const std::string& request) {
  const size_t at = request.find("Range: bytes=");
  return at == std::string::npos ? 0 : std::strtoull(request.c_str() + at + 13, nullptr, 10);
}

class WildServersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("pf-wild-servers-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "root");
    torrent_ = std::make_unique<TorrentFixture>(dir_, "file.bin", 16 * int64_t{kPieceLength} + 4321, kPieceLength);
    WriteFile(dir_ / "root" / "file.bin", torrent_->content);
    // Servers that drop their rights read it as anybody.
    fs::permissions(dir_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  static void TearDownTestSuite() {
    fs::remove_all(dir_);
    torrent_.reset();
  }

  void SetUp() override {
    work_ = dir_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(work_);
    fs::create_directories(work_);
    target_ = work_ / "save" / "file.bin";
  }

  Result Run(const std::vector<std::string>& sources, const std::vector<std::string>& extra = {},
             int interruptAfterMs = 0) {
    std::vector<std::string> args{PFTOOL_PATH, "download", "--torrent", torrent_->path, "--target", target_.string()};
    for (const std::string& source : sources) args.insert(args.end(), {"--source", source});
    args.insert(args.end(), extra.begin(), extra.end());
    const fs::path log = work_ / ("pftool-" + std::to_string(runs_++) + ".log");
    return RunToEnd(args, log, kRunTimeoutMs, interruptAfterMs);
  }

  // A first run stopped part-way, so that the next one resumes.
  void DownloadPart(const std::string& source) {
    const Result part = Run({source}, {"--limit", "2000"}, 2500);
    ASSERT_EQ(part.exitCode, 130) << part.output;
    ASSERT_TRUE(fs::exists(target_.string() + ".pfinfo"));
  }

  void ExpectComplete(const Result& result) {
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ReadFile(target_) == torrent_->content) << "the downloaded file differs";
  }

  static inline fs::path dir_;
  static inline std::unique_ptr<TorrentFixture> torrent_;
  fs::path work_;
  fs::path target_;
  int runs_ = 0;
};

// Fresh and resumed downloads from each server alone. Those that ignore
// ranges are read from the start and said to be.
TEST_F(WildServersTest, EachServerDeliversFreshAndResumedDownloads) {
  struct Case {
    const char* program;
    WebServer::Command command;
    bool ignoresRanges;
  };
  const Case cases[] = {
      {"apache2", Apache, false},      {"busybox", Busybox, false},          {"caddy", Caddy, false},
      {"mini_httpd", MiniHttpd, true}, {"/usr/bin/python3", PythonServer, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const fs::path work = work_ / fs::path(c.program).filename();
    WebServer server;
    ASSERT_TRUE(server.Start(c.program, c.command, dir_ / "root", work, "127.0.0.2"))
        << c.program << " did not start (scripts/setup installs it)";
    const std::string url = server.Url("/file.bin");
    fs::remove_all(target_.parent_path());
    ExpectComplete(Run({url}));
    fs::remove_all(target_.parent_path());
    DownloadPart(url);
    const auto started = std::chrono::steady_clock::now();
    const Result resumed = Run({url});
    ExpectComplete(resumed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(Count(resumed.output, "ignores ranges"), c.ignoresRanges ? 1u : 0u) << resumed.output;
  }
}

// Bodies framed otherwise than by Content-Length, honouring ranges.
TEST_F(WildServersTest, ChunkedBodiesAndBodiesUpToTheCloseAreRead) {
  const std::string& content = torrent_->content;
  auto answer = [&](const std::string& request, bool chunked) {
    const size_t from = std::min(RangeStart(request), content.size());
    std::string head = from == 0 ? "HTTP/1.1 200 OK\r\n"
                                 : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                                       "-" + std::to_string(content.size() - 1) + "/" +
                                       std::to_string(content.size()) + "\r\n";
    if (chunked) return head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(content.substr(from));
    return head + "Connection: close\r\n\r\n" + content.substr(from);
  };
  for (const bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "chunked" : "up to the close");
    ScriptedHttpServer server("127.0.0.2", [&](const std::string& request) { return answer(request, chunked); });
    fs::remove_all(target_.parent_path());
    ExpectComplete(Run({server.Url("/file.bin")}));
    fs::remove_all(target_.parent_path());
    DownloadPart(server.Url("/file.bin"));
    ExpectComplete(Run({server.Url("/file.bin")}));
  }
}

// A mirror that ignores ranges beside two good ones: resumed from half-way,
// the download takes no longer than the two good mirrors alone.
TEST_F(WildServersTest, ARangeIgnoringMirrorDoesNotSlowGoodOnes) {
  const std::string& content = torrent_->content;
  // Paced, so that the three are busy at once.
  ScriptedHttpServer ignoring("127.0.0.4", [&](const std::string&) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n" + content;
  });
  LoopbackNginx first, second;
  const std::vector<LoopbackNginx::Location> paced{{"/file.bin", "limit_rate 2m;"}};
  ASSERT_TRUE(first.Start(dir_ / "root", work_ / "nginx-1", "127.0.0.2", paced));
  ASSERT_TRUE(second.Start(dir_ / "root", work_ / "nginx-2", "127.0.0.3", paced));
  auto timed = [&](const std::vector<std::string>& sources) {
    fs::remove_all(target_.parent_path());
    DownloadPart(first.Url("/file.bin"));
    const auto started = std::chrono::steady_clock::now();
    ExpectComplete(Run(sources));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  const double good = timed({first.Url("/file.bin"), second.Url("/file.bin")});
  const double mixed = timed({first.Url("/file.bin"), ignoring.Url("/file.bin"), second.Url("/file.bin")});
  EXPECT_LT(mixed, good * 1.2 + 0.5) << "two good mirrors " << good << " s, with the range-ignoring one " << mixed
                                      << " s";
}

// Each cause is told once per source, however often it is retried, and a
// download whose every source failed ends saying why.
TEST_F(WildServersTest, FailuresAreToldOnceAndNoSourceLeftEndsTheDownload) {
  // One address is one source: each answer comes from a server of its own.
  LoopbackNginx good;
  ASSERT_TRUE(good.Start(dir_ / "root", work_ / "nginx", "127.0.0.2", {{"/file.bin", "limit_rate 4m;"}}));
  ScriptedHttpServer gone("127.0.0.5", [](const std::string&) {
    return std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  });
  ScriptedHttpServer busy("127.0.0.6", [](const std::string&) {
    return std::string("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
  });
  ScriptedHttpServer broken("127.0.0.3", [](const std::string&) {
    return std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nshortzz\r\n");
  });
  const std::string closed = "http://127.0.0.4:" + std::to_string(FreeLoopbackPort()) + "/file.bin";
  const fs::path logBase = work_ / "log" / "run";
  fs::create_directories(logBase.parent_path());
  const Result mixed = Run({gone.Url("/file.bin"), busy.Url("/file.bin"), broken.Url("/file.bin"), closed,
                            "gopher://127.0.0.2/file.bin", good.Url("/file.bin")},
                           {"--log", logBase.string()});
  ExpectComplete(mixed);
  // The engine's log files say it too.
  std::string logged;
  for (const auto& file : fs::directory_iterator(logBase.parent_path())) logged += ReadFile(file.path());
  EXPECT_NE(logged.find(gone.Url("/file.bin") + ": answered 404 Not Found"), std::string::npos) << logged;
  for (const std::string& line : {gone.Url("/file.bin") + ": answered 404 Not Found; not asked again",
                                  busy.Url("/file.bin") + ": answered 503 Service Unavailable; asked again later",
                                  broken.Url("/file.bin") + ": sent a broken chunked body",
                                  closed + ": cannot be reached (Connection refused)",
                                  std::string("gopher://127.0.0.2/file.bin: not an address this program can fetch from")})
    EXPECT_EQ(Count(mixed.output, line), 1u) << line << "\n" << mixed.output;

  fs::remove_all(target_.parent_path());
  const auto started = std::chrono::steady_clock::now();
  const Result none = Run({gone.Url("/file.bin"), "gopher://127.0.0.2/file.bin"});
  EXPECT_EQ(none.exitCode, 1) << none.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  // The end, and under it each source's reason again.
  const size_t end = none.output.find("no source left that can deliver\n");
  ASSERT_NE(end, std::string::npos) << none.output;
  for (const std::string& reason : {"  " + gone.Url("/file.bin") + ": answered 404", std::string("  gopher://")})
    EXPECT_NE(none.output.find(reason, end), std::string::npos) << none.output;
}

}  // namespace
}  // namespace pf
