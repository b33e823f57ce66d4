// The resource list over HTTPS from nginx on loopback with a CA this test
// makes: a certificate the package does not trust is refused, a trusted one
// works; statuses, redirects, the time-out and cancelling; and a run of the
// resource-list thread applying what it fetched.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/HttpGetToString.h"
#include "app/ResourceListThread.h"
#include "support/LoopbackServers.h"
#include "support/TestCertificates.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::ReadFile;
using testing::WriteFile;

const std::array<std::string, 4> kPackageUrls = {
    "http://127.0.0.1:1/Setup156.exe", "http://127.0.0.1:1/Data156.zip", "http://127.0.0.1:1/Data15601.cab",
    "http://127.0.0.1:1/Data15602.cab"};

// P2P off; mirrors for files 1 and 2.
const char* kList =
    "<?xml version=\"1.0\"?><project><configs><p2p-switch>off</p2p-switch></configs><resources>"
    "<resource id=\"1\" task=\"http://127.0.0.1:1/Data156.zip\"><cdn id=\"1\" name=\"a\" open=\"true\" "
    "host-name=\"localhost\" middle-dir=\"/m/\" file-name=\"Data156.zip\"><ip>127.0.0.1:81</ip></cdn></resource>"
    "<resource id=\"2\" task=\"http://127.0.0.1:1/Data15601.cab\"><cdn id=\"1\" name=\"a\" open=\"true\" "
    "middle-dir=\"/m/\" file-name=\"Data15601.cab\"><ip>127.0.0.1:81</ip><ip>127.0.0.1:82</ip></cdn></resource>"
    "</resources></project>";

class ResourceListFetch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("pf-resourcelist-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "www");
    fs::create_directories(dir_ / "nginx" / "logs");
    fs::create_directories(dir_ / "nginx" / "tmp");
    ready_ = testing::ProgramExists("nginx") && testing::ProgramExists("openssl") && testing::MakeCa(dir_, "package") &&
             testing::MakeCa(dir_, "stranger");
    if (!ready_) return;
    WriteFile(dir_ / "www" / "list.xml", kList);
    WriteFile(dir_ / "www" / "wrongroot.xml", "<list><configs><p2p-switch>on</p2p-switch></configs></list>");
    WriteFile(dir_ / "www" / "expired.xml",
              "<project><configs><expire-info><expired>true</expired><message>过期</message>"
              "<url>http://127.0.0.1:1/new</url></expire-info></configs></project>");
    port_ = testing::FreeLoopbackPort();
    strangerPort_ = testing::FreeLoopbackPort();
    const auto server = [&](int port, const std::string& ca) {
      return "  server { listen 127.0.0.1:" + std::to_string(port) + " ssl; root " + (dir_ / "www").string() +
             ";\n    ssl_certificate " + (dir_ / (ca + "-server.pem")).string() + "; ssl_certificate_key " +
             (dir_ / (ca + "-server.key")).string() +
             ";\n    location = /moved { return 302 /list.xml; }\n"
             "    location = /broken { return 500; }\n  }\n";
    };
    WriteFile(dir_ / "nginx" / "nginx.conf",
              std::string(::geteuid() == 0 ? "user root; " : "") +
                  "worker_processes 1; pid nginx.pid; error_log logs/error.log;\n"
                  "events { worker_connections 64; }\n"
                  "http { default_type application/octet-stream; access_log off; client_body_temp_path tmp;\n"
                  "  proxy_temp_path tmp; fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp;\n" +
                  server(port_, "package") + server(strangerPort_, "stranger") + "}\n");
    nginx_ = testing::StartProcess({"nginx", "-e", (dir_ / "nginx/logs/error.log").string(), "-p",
                                    (dir_ / "nginx").string(), "-c", "nginx.conf", "-g", "daemon off;"},
                                   (dir_ / "nginx.out").string());
    ready_ = testing::WaitForPort(port_) && testing::WaitForPort(strangerPort_);
  }
  static void TearDownTestSuite() {
    testing::StopProcess(nginx_);
    fs::remove_all(dir_);
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "nginx or openssl missing, or nginx did not start";
  }

  static std::string Url(const std::string& path, int port = 0) {
    return "https://127.0.0.1:" + std::to_string(port ? port : port_) + path;
  }
  static std::string PackageCa() { return ReadFile(dir_ / "package-ca.pem"); }

  static inline fs::path dir_;
  static inline bool ready_ = false;
  static inline int port_ = 0;
  static inline int strangerPort_ = 0;
  static inline pid_t nginx_ = -1;
};

TEST_F(ResourceListFetch, OnlyTheTrustedCertificateIsAccepted) {
  const struct {
    const char* what;
    int port;
    std::string ca;
    bool ok;
  } cases[] = {
      {"the package's CA", port_, PackageCa(), true},
      {"the system's store alone", port_, "", false},
      {"another CA than the signer", port_, ReadFile(dir_ / "stranger-ca.pem"), false},
      {"a server signed by a CA the package does not name", strangerPort_, PackageCa(), false},
      {"both CAs", strangerPort_, PackageCa() + ReadFile(dir_ / "stranger-ca.pem"), true},
  };
  for (const auto& c : cases) {
    std::string body, error;
    long status = -1;
    HttpGetOptions options;
    options.caCertificates = c.ca;
    const std::string url = Url("/list.xml", c.port);
    EXPECT_EQ(HttpGetToString(url, body, error, status, options), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(body, kList) << c.what;
      EXPECT_EQ(status, 200) << c.what;
    } else {
      EXPECT_EQ(error, "Failed to get " + url) << c.what;
    }
  }
}

TEST_F(ResourceListFetch, StatusesAndRedirects) {
  const struct {
    const char* path;
    bool ok;
    long status;
  } cases[] = {{"/moved", true, 200}, {"/missing.xml", false, 404}, {"/broken", false, 500}};
  HttpGetOptions options;
  options.caCertificates = PackageCa();
  for (const auto& c : cases) {
    std::string body, error;
    long status = 0;
    EXPECT_EQ(HttpGetToString(Url(c.path), body, error, status, options), c.ok) << c.path;
    EXPECT_EQ(status, c.status) << c.path;
    if (c.ok) {
      EXPECT_EQ(body, kList) << c.path;
    }
  }
  std::string body, error;
  long status = 0;
  EXPECT_FALSE(HttpGetToString("http://127.0.0.1:1/list.xml", body, error, status));  // nothing listens
  EXPECT_FALSE(HttpGetToString("file:///etc/hostname", body, error, status));
}

// A loopback port whose connections are queued and never answered.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/list.xml"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(ResourceListFetch, ASilentServerEndsAtTheTimeOutOrWhenCancelled) {
  SilentServer silent;
  std::string body, error;
  long status = 0;
  HttpGetOptions options;
  options.timeoutSeconds = 1;
  auto start = Clock::now();
  EXPECT_FALSE(HttpGetToString(silent.Url(), body, error, status, options));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));

  std::atomic<bool> cancel{false};
  HttpGetOptions forever;
  forever.cancel = &cancel;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  start = Clock::now();
  EXPECT_FALSE(HttpGetToString(silent.Url(), body, error, status, forever));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  stopper.join();
}

// Records what a run asks of the download.
class RecordingHost : public ResourceListHost {
 public:
  ResourceListContext ResourceListState() const override {
    ResourceListContext c;
    c.packageUrls = kPackageUrls;
    return c;
  }
  void SetP2PSwitch(bool on) override { Note(on ? "p2p on" : "p2p off"); }
  void ClearMirrors(int file) override { Note("clear " + std::to_string(file)); }
  void AddMirror(int file, const std::string& url, const std::string& host) override {
    Note("add " + std::to_string(file) + " " + url + " " + host);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST_F(ResourceListFetch, ARunAppliesTheSwitchAndClearsOnlyTheFirstFilesMirrors) {
  const struct {
    const char* path;
    int result;
    std::vector<std::string> calls;
  } cases[] = {
      {"/list.xml", 0,
       {"p2p off", "clear 1", "add 1 http://127.0.0.1:81/m/Data156.zip localhost",
        "add 2 http://127.0.0.1:81/m/Data15601.cab null", "add 2 http://127.0.0.1:82/m/Data15601.cab null"}},
      {"/wrongroot.xml", -2, {}},
      {"/missing.xml", -1, {}},
  };
  for (const auto& c : cases) {
    RecordingHost host;
    ResourceListThread thread(host, Url(c.path), PackageCa());
    thread.Start();
    EXPECT_EQ(thread.Wait(), c.result) << c.path;
    EXPECT_EQ(host.Calls(), c.calls) << c.path;
  }
}

TEST_F(ResourceListFetch, EndingTheThreadCancelsARunThatWaitsOnItsServer) {
  SilentServer silent;
  RecordingHost host;
  const auto start = Clock::now();
  {
    ResourceListThread thread(host, silent.Url(), PackageCa());
    thread.Start();
    thread.Start();  // a second run beside the first
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(host.Calls().empty());
}

TEST_F(ResourceListFetch, ExpiryCheck) {
  const ResourceListExpiry expired = FetchResourceListExpiry(Url("/expired.xml"), PackageCa());
  EXPECT_TRUE(expired.expired);
  EXPECT_EQ(expired.message, "过期");
  EXPECT_EQ(expired.url, "http://127.0.0.1:1/new");
  EXPECT_FALSE(FetchResourceListExpiry(Url("/list.xml"), PackageCa()).expired);
  EXPECT_FALSE(FetchResourceListExpiry(Url("/expired.xml"), "").expired);  // untrusted: not fetched
  SilentServer silent;
  const auto start = Clock::now();
  EXPECT_FALSE(FetchResourceListExpiry(silent.Url(), PackageCa()).expired);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));  // 2-second time-out
}

}  // namespace
}  // namespace pf
