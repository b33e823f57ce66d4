// Connections through real proxies (tinyproxy, dante, microsocks, OpenSSH's
// dynamic forwarding) to a real nginx, all on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "engine/net/HostResolver.h"
#include "engine/net/QTcpSocket.h"
#include "platform/Sockets.h"
#include "support/LoopbackServers.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

uint32_t Loopback() { return ParseInetAddress("127.0.0.1"); }

struct Servers {
  fs::path dir;
  std::string content;
  int nginxPort = 0, closedPort = 0;
  int tinyproxyPort = 0, tinyproxyAuthPort = 0;
  int dantePort = 0, danteAuthPort = 0;
  int microsocksPort = 0, microsocksAuthPort = 0;
  int sshdPort = 0, sshSocksPort = 0;
  std::vector<pid_t> pids;
  bool createdSocksUser = false;
  bool createdPrivsepDir = false;
  std::string missing;
};

Servers* servers = nullptr;

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::SocketsStartup();
    servers = new Servers;
    Servers& s = *servers;
    for (const char* program : {"nginx", "tinyproxy", "danted", "microsocks", kSshd, "ssh", "ssh-keygen"})
      if (!ProgramExists(program)) s.missing += std::string(program) + " ";
    if (!s.missing.empty()) return;

    s.dir = fs::temp_directory_path() / ("pf-proxy-" + std::to_string(::getpid()));
    fs::create_directories(s.dir / "www");
    fs::create_directories(s.dir / "logs");
    fs::permissions(s.dir, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    std::mt19937 random(7);
    s.content.resize(1 << 20);
    for (char& c : s.content) c = static_cast<char>(random());
    WriteFile(s.dir / "www/file.bin", s.content);
    const std::string log = (s.dir / "servers.log").string();

    s.nginxPort = FreeLoopbackPort();
    WriteFile(s.dir / "nginx.conf",
              "user root; worker_processes 1; pid nginx.pid; error_log logs/error.log;\n"
              "events { worker_connections 64; }\n"
              "http { access_log off; client_body_temp_path tmp; proxy_temp_path tmp; fastcgi_temp_path tmp;\n"
              "  uwsgi_temp_path tmp; scgi_temp_path tmp; default_type application/octet-stream;\n"
              "  server { listen 127.0.0.1:" + std::to_string(s.nginxPort) + "; root www; } }\n");
    s.pids.push_back(StartProcess({"nginx", "-p", s.dir.string(), "-c", "nginx.conf", "-g", "daemon off;"}, log));

    s.tinyproxyPort = FreeLoopbackPort();
    s.tinyproxyAuthPort = FreeLoopbackPort();
    for (int auth = 0; auth < 2; ++auth) {
      const int port = auth ? s.tinyproxyAuthPort : s.tinyproxyPort;
      const fs::path conf = s.dir / ("tinyproxy" + std::to_string(auth) + ".conf");
      WriteFile(conf, "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.0/8\n" +
                          "PidFile \"" + (s.dir / conf.stem()).string() + ".pid\"\n" +
                          (auth ? "BasicAuth puser ppass\n" : ""));
      s.pids.push_back(StartProcess({"tinyproxy", "-d", "-c", conf.string()}, log));
    }

    // dante checks user names against the system's accounts.
    if (std::system("id socksuser >/dev/null 2>&1") != 0) {
      s.createdSocksUser =
          std::system("useradd -M -s /usr/sbin/nologin socksuser && echo socksuser:sockspass | chpasswd") == 0;
    }
    s.dantePort = FreeLoopbackPort();
    s.danteAuthPort = FreeLoopbackPort();
    for (int auth = 0; auth < 2; ++auth) {
      const int port = auth ? s.danteAuthPort : s.dantePort;
      const fs::path conf = s.dir / ("danted" + std::to_string(auth) + ".conf");
      WriteFile(conf, "logoutput: " + (s.dir / "logs/danted.log").string() + "\ninternal: 127.0.0.1 port = " +
                          std::to_string(port) +
                          "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: " +
                          (auth ? "username" : "none") +
                          "\nuser.privileged: root\nuser.unprivileged: nobody\n"
                          "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: error }\n"
                          "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: error connect }\n");
      s.pids.push_back(StartProcess({"danted", "-f", conf.string(), "-N", "1", "-p",
                                     (s.dir / ("danted" + std::to_string(auth) + ".pid")).string()},
                                    log));
    }

    s.microsocksPort = FreeLoopbackPort();
    s.microsocksAuthPort = FreeLoopbackPort();
    s.pids.push_back(StartProcess({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(s.microsocksPort)}, log));
    s.pids.push_back(StartProcess({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(s.microsocksAuthPort),
                                   "-u", "muser", "-P", "mpass"},
                                  log));
    s.closedPort = FreeLoopbackPort();
    StartSshSocks(s, log);

    for (int port : {s.nginxPort, s.tinyproxyPort, s.tinyproxyAuthPort, s.dantePort, s.danteAuthPort,
                     s.microsocksPort, s.microsocksAuthPort, s.sshSocksPort})
      if (!WaitForPort(port)) s.missing += "port " + std::to_string(port) + " ";
  }

  // `ssh -N -D` is a SOCKS4, 4a and 5 server. It logs in, with a throwaway
  // key, to an sshd of its own; every file of both lives in the temp folder.
  static constexpr const char* kSshd = "/usr/sbin/sshd";  // sshd re-executes itself by absolute path
  static void StartSshSocks(Servers& s, const std::string& log) {
    const fs::path d = s.dir / "ssh";
    fs::create_directories(d);
    fs::permissions(d, fs::perms::owner_all);
    const std::string user = (d / "user").string();
    if (std::system(("ssh-keygen -q -t ed25519 -N '' -f " + (d / "hostkey").string() + " && ssh-keygen -q -t "
                     "ed25519 -N '' -f " + (d / "clientkey").string() + " && id -un >" + user).c_str()) != 0) {
      s.missing += "ssh keys ";
      return;
    }
    fs::copy_file(d / "clientkey.pub", d / "authorized_keys");
    // A root sshd insists on its privilege separation folder.
    if (::geteuid() == 0 && !fs::exists("/run/sshd")) {
      std::error_code error;
      s.createdPrivsepDir = fs::create_directories("/run/sshd", error);
    }
    s.sshdPort = FreeLoopbackPort();
    WriteFile(d / "sshd_config",
              "ListenAddress 127.0.0.1\nPort " + std::to_string(s.sshdPort) + "\nHostKey " +
                  (d / "hostkey").string() + "\nPidFile " + (d / "sshd.pid").string() +
                  "\nAuthorizedKeysFile " + (d / "authorized_keys").string() +
                  "\nStrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                  "PermitRootLogin prohibit-password\nUsePAM no\nAllowTcpForwarding yes\n");
    s.pids.push_back(StartProcess({kSshd, "-D", "-e", "-f", (d / "sshd_config").string()}, log));
    if (!WaitForPort(s.sshdPort)) return;
    // With -F, ssh reads no system or user configuration and makes no ~/.ssh.
    WriteFile(d / "ssh_config", "BatchMode yes\nIdentitiesOnly yes\nStrictHostKeyChecking no\n"
                                "UserKnownHostsFile /dev/null\nExitOnForwardFailure yes\nLogLevel ERROR\n");
    std::string name = ReadFile(user);
    while (!name.empty() && name.back() == '\n') name.pop_back();
    s.sshSocksPort = FreeLoopbackPort();
    s.pids.push_back(StartProcess({"ssh", "-F", (d / "ssh_config").string(), "-i", (d / "clientkey").string(),
                                   "-N", "-D", "127.0.0.1:" + std::to_string(s.sshSocksPort), "-p",
                                   std::to_string(s.sshdPort), name + "@127.0.0.1"},
                                  log));
  }

  static void TearDownTestSuite() {
    // Last started first: the ssh client ends its session before sshd stops.
    for (auto pid = servers->pids.rbegin(); pid != servers->pids.rend(); ++pid) StopProcess(*pid);
    if (servers->createdSocksUser) std::system("userdel socksuser >/dev/null 2>&1");
    if (servers->createdPrivsepDir) fs::remove("/run/sshd");
    if (!servers->dir.empty()) fs::remove_all(servers->dir);
    delete servers;
    servers = nullptr;
  }

  void SetUp() override {
    if (!servers->missing.empty()) GTEST_SKIP() << "not available: " << servers->missing;
  }

  static QProxySettings Proxy(int type, int port, const std::string& user = "", const std::string& password = "",
                              bool remoteNames = false) {
    QProxySettings p;
    p.type = type;
    p.ip = Loopback();
    p.port = port;
    p.timeoutSeconds = 4;
    p.user = user;
    p.password = password;
    p.remoteNames = remoteNames ? 1 : 0;
    return p;
  }

  struct Fetched {
    bool connected = false;
    bool handshakeDone = false;
    std::string bytes;
    uint64_t bytesSent = 0;
  };

  // Fetches /file.bin from nginx through the proxy the way a peer object
  // would: non-blocking, the request sent before the proxy has answered,
  // polled until the server closes.
  static Fetched Fetch(const QProxySettings& proxy, const std::string& host, int port) {
    Fetched f;
    QTcpSocket socket;
    f.connected = socket.ConnectHost(host, static_cast<uint16_t>(port), false, &proxy);
    if (!f.connected) return f;
    const std::string request = "GET /file.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (socket.Send(request.data(), static_cast<int>(request.size())) != static_cast<int>(request.size()))
      return f;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      socket.WaitReadable(1);
      const int held = socket.Receive();
      if (held >= 0 && socket.IsOpen() && socket.proxyDone) f.handshakeDone = true;
      if (held > 0) {
        f.bytes.append(reinterpret_cast<const char*>(socket.ReceivedData()), static_cast<size_t>(held));
        f.bytesSent = socket.bytesSent;
        socket.Consume(held);
      }
      if (held < 0) break;
    }
    return f;
  }

  static void ExpectFile(const Fetched& f) {
    ASSERT_TRUE(f.connected);
    EXPECT_TRUE(f.handshakeDone);
    ASSERT_EQ(f.bytes.rfind("HTTP/1.1 200", 0), 0u) << f.bytes.substr(0, 200);
    const size_t body = f.bytes.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_TRUE(f.bytes.compare(body + 4, std::string::npos, servers->content) == 0)
        << "body of " << f.bytes.size() - body - 4 << " bytes differs";
  }

  static void ExpectRefused(const Fetched& f) {
    EXPECT_FALSE(f.handshakeDone);
    EXPECT_EQ(f.bytes, "");
  }
};

TEST_F(ProxyTest, EveryProxyTypeCarriesTheBytesIntact) {
  const Servers& s = *servers;
  struct Case {
    const char* name;
    QProxySettings proxy;
    const char* host;
  };
  const Case cases[] = {
      {"tinyproxy CONNECT", Proxy(kProxyHttp, s.tinyproxyPort), "127.0.0.1"},
      {"tinyproxy CONNECT by name", Proxy(kProxyHttp, s.tinyproxyPort, "", "", true), "localhost"},
      {"tinyproxy CONNECT with Basic credentials", Proxy(kProxyHttp, s.tinyproxyAuthPort, "puser", "ppass"),
       "127.0.0.1"},
      {"dante SOCKS4", Proxy(kProxySocks4, s.dantePort), "127.0.0.1"},
      {"dante SOCKS4 resolves names here", Proxy(kProxySocks4, s.dantePort, "", "", true), "localhost"},
      {"dante SOCKS5", Proxy(kProxySocks5, s.dantePort), "127.0.0.1"},
      {"dante SOCKS5 by name", Proxy(kProxySocks5, s.dantePort, "", "", true), "localhost"},
      {"dante SOCKS5 with user and password", Proxy(kProxySocks5, s.danteAuthPort, "socksuser", "sockspass"),
       "127.0.0.1"},
      {"microsocks SOCKS5", Proxy(kProxySocks5, s.microsocksPort), "127.0.0.1"},
      {"microsocks SOCKS5 by name with credentials",
       Proxy(kProxySocks5, s.microsocksAuthPort, "muser", "mpass", true), "localhost"},
      {"ssh -D SOCKS4a by name", Proxy(kProxySocks4a, s.sshSocksPort, "", "", true), "localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectFile(Fetch(c.proxy, c.host, s.nginxPort));
  }
}

TEST_F(ProxyTest, RefusingProxiesFailTheConnectionCleanly) {
  const Servers& s = *servers;
  struct Case {
    const char* name;
    QProxySettings proxy;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"tinyproxy wants credentials (407)", Proxy(kProxyHttp, s.tinyproxyAuthPort), "127.0.0.1", s.nginxPort},
      {"tinyproxy wrong password", Proxy(kProxyHttp, s.tinyproxyAuthPort, "puser", "nope"), "127.0.0.1",
       s.nginxPort},
      {"tinyproxy target refuses", Proxy(kProxyHttp, s.tinyproxyPort), "127.0.0.1", s.closedPort},
      {"dante SOCKS4 without the login it requires", Proxy(kProxySocks4, s.danteAuthPort), "127.0.0.1",
       s.nginxPort},
      {"dante takes SOCKS4a's 0.0.0.1 literally", Proxy(kProxySocks4a, s.dantePort, "", "", true), "localhost",
       s.nginxPort},
      {"dante SOCKS4 target refuses", Proxy(kProxySocks4, s.dantePort), "127.0.0.1", s.closedPort},
      {"dante SOCKS5 without credentials", Proxy(kProxySocks5, s.danteAuthPort), "127.0.0.1", s.nginxPort},
      {"dante SOCKS5 wrong password", Proxy(kProxySocks5, s.danteAuthPort, "socksuser", "nope"), "127.0.0.1",
       s.nginxPort},
      {"microsocks wrong password", Proxy(kProxySocks5, s.microsocksAuthPort, "muser", "nope"), "127.0.0.1",
       s.nginxPort},
      {"microsocks target refuses", Proxy(kProxySocks5, s.microsocksPort), "127.0.0.1", s.closedPort},
      {"microsocks does not speak SOCKS4", Proxy(kProxySocks4, s.microsocksPort), "127.0.0.1", s.nginxPort},
      {"microsocks does not speak SOCKS4a", Proxy(kProxySocks4a, s.microsocksPort, "", "", true), "localhost",
       s.nginxPort},
      {"ssh -D SOCKS4a target refuses", Proxy(kProxySocks4a, s.sshSocksPort, "", "", true), "localhost",
       s.closedPort},
      {"nothing listens at the proxy", Proxy(kProxySocks5, s.closedPort), "127.0.0.1", s.nginxPort},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    ExpectRefused(Fetch(c.proxy, c.host, c.port));
    // Within the proxy's time-out (4 s here), not the test's deadline.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  }
}

TEST_F(ProxyTest, TheDefaultProxyComesFromTheTaskLinkIni) {
  const Servers& s = *servers;
  const fs::path ini = s.dir / "PelicanfetchTaskLink.ini";
  testing::ScopedProcessState processState;
  WriteFile(ini, "[Other]\nType=9\n\n[proxy]\ntype = 3\nHOST=localhost\nPort=" + std::to_string(s.microsocksAuthPort) +
                     "\nUser=muser\nPassword=mpass\nRemoteNames=1\n");
  ASSERT_TRUE(LoadDefaultProxy(ini.string()));
  const QProxySettings loaded = DefaultProxy();
  EXPECT_EQ(loaded.type, kProxySocks5);
  EXPECT_EQ(loaded.ip, Loopback());
  EXPECT_EQ(loaded.remoteNames, 1);

  // No settings of its own: the connection uses the default.
  QTcpSocket socket;
  ASSERT_TRUE(socket.ConnectHost("localhost", static_cast<uint16_t>(s.nginxPort), true));
  const std::string request = "GET /file.bin HTTP/1.0\r\n\r\n";
  ASSERT_EQ(socket.Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
  int held = 0;
  while ((held = socket.Receive()) >= 0 && held < 12) {
  }
  ASSERT_GE(held, 12);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(socket.ReceivedData()), 12), "HTTP/1.1 200");
  socket.Close();

  // The default is really in the path: a wrong password there fails.
  WriteFile(ini, "[Proxy]\nType=3\nHost=127.0.0.1\nPort=" + std::to_string(s.microsocksAuthPort) +
                     "\nUser=muser\nPassword=wrong\n");
  ASSERT_TRUE(LoadDefaultProxy(ini.string()));
  EXPECT_FALSE(socket.ConnectHost("localhost", static_cast<uint16_t>(s.nginxPort), true));

  // An unusable section means no proxy at all.
  WriteFile(ini, "[Proxy]\nType=7\nHost=127.0.0.1\nPort=1080\n");
  EXPECT_FALSE(LoadDefaultProxy(ini.string()));
  EXPECT_FALSE(DefaultProxy().IsConfigured());
  WriteFile(ini, "[Proxy]\nType=1\nHost=127.0.0.1\n");
  EXPECT_FALSE(LoadDefaultProxy(ini.string()));
  EXPECT_FALSE(LoadDefaultProxy((s.dir / "missing.ini").string()));
}

}  // namespace
}  // namespace pf
