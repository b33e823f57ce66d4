#pragma once
// Real BitTorrent programs on loopback for interop tests: an opentracker
// tracker, aria2c and python3-libtorrent peers (tests/support/lt_peer.py),
// and pftool itself as seeder or downloader. Every program is started by this
// process, stopped by its pid, and told to end should the test process die.
//
// Our engine never connects to a peer at 127.0.0.1 (it takes that address
// for itself), so peers it should reach listen on 127.0.0.2 and up.
//
// aria2c cannot announce to udp:// trackers while its DHT is off (it logs
// "udp is not supported yet" and waits), so give it http:// torrents.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServers.h"

namespace pf::testing {

namespace bt_detail {

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Standard output of a shell command; empty when it fails.
inline std::string Capture(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return {};
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  return ::pclose(pipe) == 0 ? out : std::string();
}

// The number after the last `key` in `text` ("uploaded=" -> 123).
inline std::optional<int64_t> LastNumberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.rfind(key);
  if (at == std::string::npos) return std::nullopt;
  size_t end = at + key.size();
  while (end < text.size() && text[end] == ' ') ++end;
  const size_t digits = end;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == digits) return std::nullopt;
  return std::stoll(text.substr(digits, end - digits));
}

// A body of an HTTP/1.0 GET to 127.0.0.1:port, or nothing.
inline std::optional<std::string> HttpGet(int port, const std::string& target) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return std::nullopt;
  timeval timeout{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  const size_t body = reply.find("\r\n\r\n");
  if (reply.compare(0, 9, "HTTP/1.0 ") != 0 && reply.compare(0, 9, "HTTP/1.1 ") != 0) return std::nullopt;
  if (body == std::string::npos || reply.compare(9, 3, "200") != 0) return std::nullopt;
  return reply.substr(body + 4);
}

}  // namespace bt_detail

// Whether the file at `path` holds exactly `bytes`.
inline bool FileHolds(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != bytes.size() || ec) return false;
  return ReadFile(path) == bytes;
}

#ifdef PFTOOL_PATH
// The torrent's v1 info-hash as 40 lowercase hex digits, read by
// `pftool torrent-info`; empty when pftool cannot read the torrent.
inline std::string InfoHashHex(const std::filesystem::path& torrent) {
  std::istringstream lines(bt_detail::Capture(std::string(PFTOOL_PATH) + " torrent-info " +
                                              bt_detail::Quote(torrent.string())));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("info_hash: ", 0) == 0 && line.size() >= 51) return line.substr(11, 40);
  return {};
}

// A single-file torrent announcing to `announceUrls`, made by
// `pftool make-torrent`; false when pftool fails.
inline bool MakeAnnouncedTorrent(const std::filesystem::path& file, int64_t pieceLength,
                                 const std::vector<std::string>& announceUrls,
                                 const std::filesystem::path& out) {
  std::string command = std::string(PFTOOL_PATH) + " make-torrent --piece-length " + std::to_string(pieceLength);
  for (const std::string& url : announceUrls) command += " --announce " + bt_detail::Quote(url);
  command += " -o " + bt_detail::Quote(out.string()) + " " + bt_detail::Quote(file.string()) + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}
#endif

// What a tracker's scrape says about one swarm.
struct SwarmCounts {
  int64_t complete = 0;    // seeders
  int64_t incomplete = 0;  // leechers
  int64_t downloaded = 0;  // completed downloads reported
};

// Debian's opentracker on 127.0.0.1, HTTP and UDP on one free port. That
// build only serves the info-hashes on its whitelist, so they are given at
// start. The port is chosen on construction, so that torrents can name the
// tracker before it runs.
class Opentracker {
 public:
  explicit Opentracker(std::filesystem::path work) : work_(std::move(work)), port_(FreeLoopbackPort()) {}
  Opentracker(const Opentracker&) = delete;
  Opentracker& operator=(const Opentracker&) = delete;
  ~Opentracker() { Stop(); }

  static bool Available() { return ProgramExists("opentracker"); }

  // Serves the given info-hashes (40 hex digits each); false when
  // opentracker is missing or does not listen within five seconds.
  bool Start(const std::vector<std::string>& infoHashes) {
    namespace fs = std::filesystem;
    Stop();
    if (!Available()) return false;
    fs::create_directories(work_);
    std::string list;
    for (const std::string& hash : infoHashes) list += hash + "\n";
    WriteFile(work_ / "whitelist.txt", list);
    // It refuses to run as root and reads the whitelist inside its chroot.
    std::vector<std::string> args{"opentracker", "-i", "127.0.0.1", "-p", std::to_string(port_),
                                  "-P", std::to_string(port_)};
    if (::geteuid() == 0) {
      ::chmod(work_.c_str(), 0755);
      args.insert(args.end(), {"-d", work_.string(), "-u", "nobody", "-w", "/whitelist.txt"});
    } else {
      args.insert(args.end(), {"-w", (work_ / "whitelist.txt").string()});
    }
    pid_ = StartProcess(args, (work_ / "opentracker.log").string());
    if (WaitForPort(port_, 5000)) return true;
    Stop();
    return false;
  }

  void Stop() {
    StopProcess(pid_);
    pid_ = -1;
  }

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string HttpAnnounceUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/announce"; }
  std::string UdpAnnounceUrl() const { return "udp://127.0.0.1:" + std::to_string(port_) + "/announce"; }
  std::filesystem::path Log() const { return work_ / "opentracker.log"; }

  // The tracker's counts for one info-hash, or nothing when it does not answer.
  std::optional<SwarmCounts> Scrape(const std::string& infoHashHex) const {
    std::string escaped;
    for (size_t i = 0; i + 1 < infoHashHex.size(); i += 2) escaped += "%" + infoHashHex.substr(i, 2);
    const auto body = bt_detail::HttpGet(port_, "/scrape?info_hash=" + escaped);
    if (!body || body->find("5:files") == std::string::npos) return std::nullopt;
    SwarmCounts counts;
    counts.complete = bt_detail::LastNumberAfter(*body, "8:completei").value_or(0);
    counts.incomplete = bt_detail::LastNumberAfter(*body, "10:incompletei").value_or(0);
    counts.downloaded = bt_detail::LastNumberAfter(*body, "10:downloadedi").value_or(0);
    return counts;
  }

  // Waits until the tracker lists at least `seeders` seeders for the hash.
  // A fresh tracker only lists peers that announced to it, so this tells a
  // seeder is announced and a leecher started now will be told about it.
  bool WaitForSeeders(const std::string& infoHashHex, int64_t seeders, int milliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const auto counts = Scrape(infoHashHex);
      if (counts && counts->complete >= seeders) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 private:
  std::filesystem::path work_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// Where a peer runs and what it serves or fetches.
struct PeerSetup {
  std::filesystem::path torrent{};
  std::filesystem::path dir{};  // holds the torrent's file (seeding) or receives it
  std::string address = "127.0.0.2";
  int port = 0;               // 0: a free one
  int uploadLimitKBps = 0;    // 0: none
  bool keepSeeding = false;   // a leecher seeds on once it has everything
};

// One BitTorrent program this test started, with its output in a log file.
class PeerProcess {
 public:
  PeerProcess() = default;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  virtual ~PeerProcess() { Stop(); }

  pid_t Pid() const { return pid_; }
  const std::string& Address() const { return address_; }
  int Port() const { return port_; }
  std::string Endpoint() const { return address_ + ":" + std::to_string(port_); }
  const std::filesystem::path& LogPath() const { return log_; }
  std::string Output() const { return ReadFile(log_); }

  // The last `lines` lines of its output, for failure messages.
  std::string OutputTail(int lines = 30) const {
    const std::string out = Output();
    size_t at = out.size();
    for (int n = 0; n <= lines && at != std::string::npos && at > 0;) {
      at = out.rfind('\n', at - 1);
      if (at != std::string::npos) ++n;
    }
    return at == std::string::npos || at == 0 ? out : out.substr(at + 1);
  }

  // Whether it still runs; reaps it once it ended.
  bool Running() {
    if (pid_ <= 0 || exitCode_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }

  // Its exit code (128 + signal when a signal ended it) once it ended.
  std::optional<int> ExitCode() {
    Running();
    return exitCode_;
  }

  // Waits for it to end by itself: its exit code, or nothing when it still
  // runs after `milliseconds` (it is left running).
  std::optional<int> WaitForExit(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ExitCode();
  }

  // Ctrl-C.
  void Interrupt() {
    if (Running()) ::kill(pid_, SIGINT);
  }

  // TERM, then KILL after three seconds.
  void Stop() {
    if (!Running()) return;
    ::kill(pid_, SIGTERM);
    if (WaitForExit(3000)) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exitCode_ = 128 + SIGKILL;
  }

  // Payload bytes it says it uploaded; nothing when it does not tell.
  virtual std::optional<int64_t> UploadedBytes() const { return std::nullopt; }

  // Waits until it says it uploaded something (its counts come once a second).
  bool WaitForUpload(int milliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      if (UploadedBytes().value_or(0) > 0) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // Waits until `file` holds `original`: once the program ended, or while it
  // seeds on. False when it ended or the time ran out with other bytes.
  bool WaitForFile(const std::filesystem::path& file, const std::string& original, int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const bool running = Running();
      if (FileHolds(file, original)) return true;
      if (!running || std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }

 protected:
  // Starts `args` with its output in `log`. A program that listens is
  // given five seconds to open its port.
  bool Launch(const std::vector<std::string>& args, const std::filesystem::path& log, const std::string& address,
              int port, bool waitForListener) {
    Stop();
    log_ = log;
    address_ = address;
    port_ = port;
    exitCode_.reset();
    std::filesystem::remove(log);
    pid_ = StartProcess(args, log.string());
    if (pid_ < 0) return false;
    if (!waitForListener) return true;
    for (int waited = 0; waited < 5000; waited += 50) {
      if (!Running()) return false;
      if (PortAcceptsConnections(port, address)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    return false;
  }

  static int PortOrFree(int port) { return port > 0 ? port : FreeLoopbackPort(); }

  // "<dir>.<what>.log", next to the folder a peer works in.
  static std::filesystem::path LogBeside(const std::filesystem::path& dir, const std::string& what) {
    std::filesystem::path clean = dir;
    if (!clean.has_filename()) clean = clean.parent_path();
    return clean.string() + "." + what + ".log";
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::filesystem::path log_;
  std::string address_;
  int port_ = 0;
};

// aria2c as seeder or leecher; DHT, local peer discovery and peer exchange
// off. It has no way to add a peer by hand: it finds peers through the
// torrent's (http://) trackers only. The leecher saves into dir/<name>.
class Aria2Peer : public PeerProcess {
 public:
  static bool Available() { return ProgramExists("aria2c"); }

  bool StartSeeder(const PeerSetup& setup) {
    auto args = Common(setup);
    args.insert(args.end(), {"--seed-ratio=0.0", "--bt-seed-unverified=true", setup.torrent.string()});
    return Launch(args, LogBeside(setup.dir, "aria2-seed"), setup.address, listenPort_, true);
  }

  // Exits 0 once the file is complete and checked, unless it keeps seeding.
  bool StartLeecher(const PeerSetup& setup) {
    auto args = Common(setup);
    args.insert(args.end(), {setup.keepSeeding ? "--seed-ratio=0.0" : "--seed-time=0",
                             "--allow-overwrite=true", "--auto-file-renaming=false", "--file-allocation=none",
                             setup.torrent.string()});
    return Launch(args, LogBeside(setup.dir, "aria2-leech"), setup.address, listenPort_, false);
  }

  // From its once-a-second summary, "UL:<rate>(<total>)"; sizes are rounded.
  std::optional<int64_t> UploadedBytes() const override {
    const std::string out = Output();
    const size_t at = out.rfind("UL:");
    if (at == std::string::npos) return out.find("SEED(") != std::string::npos ? std::optional<int64_t>(0) : std::nullopt;
    const size_t open = out.find('(', at), close = out.find(')', at);
    if (open == std::string::npos || close == std::string::npos || close < open) return 0;
    const std::string total = out.substr(open + 1, close - open - 1);
    double number = std::atof(total.c_str());
    if (total.find("GiB") != std::string::npos) number *= 1073741824.0;
    else if (total.find("MiB") != std::string::npos) number *= 1048576.0;
    else if (total.find("KiB") != std::string::npos) number *= 1024.0;
    return static_cast<int64_t>(number);
  }

 private:
  std::vector<std::string> Common(const PeerSetup& setup) {
    listenPort_ = PortOrFree(setup.port);
    std::filesystem::create_directories(setup.dir);
    std::vector<std::string> args{"aria2c", "--no-conf", "--enable-dht=false", "--enable-dht6=false",
                                  "--bt-enable-lpd=false", "--enable-peer-exchange=false",
                                  "--disable-ipv6=true", "--summary-interval=1", "--console-log-level=notice",
                                  "--download-result=hide", "--dir=" + setup.dir.string(),
                                  "--interface=" + setup.address, "--listen-port=" + std::to_string(listenPort_),
                                  "--stop-with-process=" + std::to_string(::getpid())};
    if (setup.uploadLimitKBps > 0) args.push_back("--max-upload-limit=" + std::to_string(setup.uploadLimitKBps) + "K");
    return args;
  }

  int listenPort_ = 0;
};

// python3-libtorrent through tests/support/lt_peer.py: v1 torrents, TCP only,
// no DHT, local peer discovery, UPnP or NAT-PMP. The leecher saves into
// dir/<name>, checks every piece and exits 0 once complete.
class LibtorrentPeer : public PeerProcess {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";  // Debian's bindings live there

  // The script: $PF_LT_PEER_SCRIPT, the PF_LT_PEER_SCRIPT definition, or the
  // copy beside this header.
  static std::filesystem::path Script() {
    if (const char* env = std::getenv("PF_LT_PEER_SCRIPT"); env && *env) return env;
#ifdef PF_LT_PEER_SCRIPT
    return PF_LT_PEER_SCRIPT;
#else
    return std::filesystem::path(__FILE__).parent_path() / "lt_peer.py";
#endif
  }

  static bool Available() {
    return std::filesystem::exists(Script()) &&
           std::system((std::string(kPython) + " -c 'import libtorrent' >/dev/null 2>&1").c_str()) == 0;
  }

  bool StartSeeder(const PeerSetup& setup) { return Start("seed", setup, 0); }

  // With `timeoutSeconds` > 0 it gives up (exit 1) after that long.
  bool StartLeecher(const PeerSetup& setup, int timeoutSeconds = 0) { return Start("leech", setup, timeoutSeconds); }

  std::optional<int64_t> UploadedBytes() const override {
    return bt_detail::LastNumberAfter(Output(), "uploaded=");
  }
  std::optional<int64_t> DownloadedBytes() const { return bt_detail::LastNumberAfter(Output(), "downloaded="); }
  bool Completed() const { return Output().find("\ncomplete: ") != std::string::npos; }

 private:
  bool Start(const std::string& role, const PeerSetup& setup, int timeoutSeconds) {
    const int port = PortOrFree(setup.port);
    std::filesystem::create_directories(setup.dir);
    std::vector<std::string> args{kPython, Script().string(), role, "--torrent", setup.torrent.string(),
                                  "--save", setup.dir.string(), "--listen",
                                  setup.address + ":" + std::to_string(port)};
    if (setup.keepSeeding) args.push_back("--keep-seeding");
    if (timeoutSeconds > 0) args.insert(args.end(), {"--timeout", std::to_string(timeoutSeconds)});
    if (setup.uploadLimitKBps > 0) args.insert(args.end(), {"--upload-limit", std::to_string(setup.uploadLimitKBps)});
    return Launch(args, LogBeside(setup.dir, "lt-" + role), setup.address, port, role == "seed");
  }
};

#ifdef PFTOOL_PATH
// Our own engine: `pftool seed` serves a complete file until it is stopped;
// `pftool download` fetches into `target` from the torrent's trackers and
// peers (and HTTP mirrors) and exits 0 after "complete: <target>".
struct PftoolSetup {
  std::filesystem::path torrent{};
  std::filesystem::path target{};
  std::string address = "127.0.0.2";
  int port = 0;  // 0: a free one
  std::vector<std::string> sources{};  // HTTP mirrors, download only
  int limitKBps = 0;                 // download only; 0: none
  int uploadLimitKBps = 0;           // 0: none
};

class PftoolPeer : public PeerProcess {
 public:
  bool StartSeeder(const PftoolSetup& setup) {
    const auto args = Arguments("seed", setup);
    return Launch(args, LogBeside(setup.target, "seed"), setup.address, listenPort_, true);
  }

  bool StartDownload(const PftoolSetup& setup) {
    std::filesystem::create_directories(setup.target.parent_path());
    auto args = Arguments("download", setup);
    for (const std::string& source : setup.sources) args.insert(args.end(), {"--source", source});
    if (setup.limitKBps > 0) args.insert(args.end(), {"--limit", std::to_string(setup.limitKBps)});
    return Launch(args, LogBeside(setup.target, "download"), setup.address, listenPort_, false);
  }

  bool Completed() const { return Output().find("complete: ") != std::string::npos; }
  std::optional<int64_t> HttpBytes() const { return bt_detail::LastNumberAfter(Output(), "http bytes:"); }
  std::optional<int64_t> PeerBytes() const { return bt_detail::LastNumberAfter(Output(), "peer bytes:"); }

 private:
  std::vector<std::string> Arguments(const char* command, const PftoolSetup& setup) {
    listenPort_ = PortOrFree(setup.port);
    std::vector<std::string> args{PFTOOL_PATH, command, "--torrent", setup.torrent.string(), "--target",
                                  setup.target.string(), "--interface", setup.address, "--port",
                                  std::to_string(listenPort_)};
    if (setup.uploadLimitKBps > 0) args.insert(args.end(), {"--upload-limit", std::to_string(setup.uploadLimitKBps)});
    return args;
  }

  int listenPort_ = 0;
};
#endif

}  // namespace pf::testing
