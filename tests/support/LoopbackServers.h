#pragma once
// Starting and stopping real servers on loopback for integration tests:
// free ports, processes started and stopped by pid, waiting for a port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pf::testing {

// A port nothing listens on right now (the kernel's choice of an ephemeral one).
inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  // Free on every address, not only 127.0.0.1: a port that another loopback
  // address still holds (in TIME_WAIT, say) cannot be listened on by a
  // listener on all interfaces. Bound only, never used for traffic.
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

inline bool PortAcceptsConnections(int port, const std::string& address = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

inline bool WaitForPort(int port, int milliseconds = 5000, const std::string& address = "127.0.0.1") {
  for (int waited = 0; waited < milliseconds; waited += 50) {
    if (PortAcceptsConnections(port, address)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Runs a program with its output appended to `log`; the pid, or -1. The
// program gets SIGTERM when the test process ends.
inline pid_t StartProcess(const std::vector<std::string>& args, const std::string& log) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Ends with the test process, even when that one crashes.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out >= 0) {
    ::dup2(out, 1);
    ::dup2(out, 2);
  }
  const int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0) ::dup2(in, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

// Stops a process this test started: TERM, then KILL after two seconds.
inline void StopProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 40; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Waits for a process this test started to end: its exit code, 128 + the
// signal that ended it, or -1 when it outlives `milliseconds` (it is then
// killed and reaped).
inline int WaitForExit(pid_t pid, int milliseconds) {
  for (int waited = 0;; waited += 20) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (waited >= milliseconds) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// Ctrl-C for a process this test started.
inline void SendInterrupt(pid_t pid) {
  if (pid > 0) ::kill(pid, SIGINT);
}

inline bool ProgramExists(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How a program run ended: its exit status and what it printed.
struct Result {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Runs a program to its end with its output in `log`; with interruptAfterMs
// > 0 it gets a Ctrl-C after that long.
inline Result RunToEnd(const std::vector<std::string>& args, const std::filesystem::path& log, int timeoutMs,
                       int interruptAfterMs = 0) {
  const pid_t pid = StartProcess(args, log.string());
  if (interruptAfterMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(interruptAfterMs));
    SendInterrupt(pid);
  }
  Result result;
  result.exitCode = WaitForExit(pid, timeoutMs);
  result.output = ReadFile(log);
  return result;
}

#ifdef PFTOOL_PATH
// A torrent of one file made with `pftool make-torrent` (a tracker nobody
// listens on); false when pftool fails.
inline bool MakeTorrent(const std::filesystem::path& file, int64_t pieceLength, const std::filesystem::path& out) {
  return std::system((std::string(PFTOOL_PATH) + " make-torrent --piece-length " + std::to_string(pieceLength) +
                      " --announce http://127.0.0.1:1/announce -o '" + out.string() + "' '" + file.string() +
                      "' >/dev/null")
                         .c_str()) == 0;
}
#endif

// nginx serving a folder on a loopback address and a free port, over HTTP or
// HTTPS: a mirror for download tests. Extra exact-path locations answer
// otherwise (an error status, a redirect, a slow body ...). The access log notes the body bytes of
// every answer, so that a test can tell how much a client fetched.
class LoopbackNginx {
 public:
  struct Location {
    std::string path;        // exact request path, e.g. "/file.bin"
    std::string directives;  // the location's body, e.g. "return 500;"
    static Location Status(const std::string& path, int status) {
      return {path, "return " + std::to_string(status) + ";"};
    }
    static Location Redirect(const std::string& path, const std::string& url, int status = 302) {
      return {path, "return " + std::to_string(status) + " " + url + ";"};
    }
  };

  LoopbackNginx() = default;
  LoopbackNginx(const LoopbackNginx&) = delete;
  LoopbackNginx& operator=(const LoopbackNginx&) = delete;
  ~LoopbackNginx() { Stop(); }

  // Serves HTTPS with this certificate and key from the next Start on.
  void UseTls(const std::filesystem::path& certificate, const std::filesystem::path& key) {
    certificate_ = certificate;
    key_ = key;
  }

  // Serves `root` from `address` (127.0.0.0/8); nginx keeps its files under
  // `work`. False when nginx is missing or does not listen.
  bool Start(const std::filesystem::path& root, const std::filesystem::path& work,
             const std::string& address = "127.0.0.1", const std::vector<Location>& locations = {}) {
    namespace fs = std::filesystem;
    Stop();
    if (!ProgramExists("nginx")) return false;
    work_ = work;
    address_ = address;
    fs::create_directories(work / "logs");
    fs::remove(work / "logs" / "access.log");  // counts start from this start
    fs::create_directories(work / "tmp");
    // Another program may take the chosen port before nginx binds it.
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreeLoopbackPort();
      std::string conf = std::string(::geteuid() == 0 ? "user root; " : "") +
                         "worker_processes 1; pid nginx.pid; error_log logs/error.log;\n"
                         "events { worker_connections 256; }\n"
                         "http { default_type application/octet-stream; client_body_temp_path tmp;\n"
                         "  proxy_temp_path tmp; fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp;\n"
                         "  log_format bytes '$body_bytes_sent $status \"$request\" \"$http_range\" \"$http_host\"';\n"
                         "  access_log logs/access.log bytes;\n"
                         "  server { listen " + address + ":" + std::to_string(port_) +
                         (certificate_.empty() ? "" : " ssl") + "; root " + fs::absolute(root).string() + ";\n";
      if (!certificate_.empty())
        conf += "    ssl_certificate " + fs::absolute(certificate_).string() + "; ssl_certificate_key " +
                fs::absolute(key_).string() + ";\n";
      for (const Location& location : locations)
        conf += "    location = " + location.path + " { " + location.directives + " }\n";
      conf += "  }\n}\n";
      WriteFile(work / "nginx.conf", conf);
      pid_ = StartProcess({"nginx", "-e", (work / "logs/error.log").string(), "-p", work.string(), "-c",
                           "nginx.conf", "-g", "daemon off;"},
                          (work / "nginx.out").string());
      if (WaitForPort(port_, 5000, address)) return true;
      Stop();
    }
    return false;
  }

  // Ends nginx by its pid.
  void Stop() {
    StopProcess(pid_);
    pid_ = -1;
  }

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Url(const std::string& path) const {
    return (certificate_.empty() ? "http://" : "https://") + address_ + ":" + std::to_string(port_) + path;
  }
  std::filesystem::path AccessLog() const { return work_ / "logs" / "access.log"; }

  // Requests logged so far.
  int Requests() const {
    std::ifstream log(AccessLog());
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.empty() ? 0 : 1;
    return count;
  }

  // Body bytes of all answers logged so far.
  int64_t BytesSent() const {
    std::ifstream log(AccessLog());
    int64_t total = 0;
    for (std::string line; std::getline(log, line);) {
      std::istringstream fields(line);
      int64_t bytes = 0;
      if (fields >> bytes) total += bytes;
    }
    return total;
  }

 private:
  std::filesystem::path work_;
  std::filesystem::path certificate_, key_;  // empty: plain HTTP
  std::string address_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace pf::testing
