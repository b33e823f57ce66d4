#pragma once
// Real FTP servers on loopback for download tests: vsftpd (anonymous) and
// pyftpdlib (with a user and password), each serving a folder on a loopback
// address and a free port, started and stopped by pid.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/LoopbackServers.h"

namespace pf::testing {

// Where a program of the system's sbin is, for users whose PATH lacks it.
inline std::string SbinProgram(const std::string& name) {
  const std::string sbin = "/usr/sbin/" + name;
  return ::access(sbin.c_str(), X_OK) == 0 ? sbin : name;
}

class LoopbackFtpServer {
 public:
  LoopbackFtpServer() = default;
  LoopbackFtpServer(const LoopbackFtpServer&) = delete;
  LoopbackFtpServer& operator=(const LoopbackFtpServer&) = delete;
  ~LoopbackFtpServer() { Stop(); }

  // vsftpd, anonymous and read-only, each transfer at most `maxRate` bytes
  // a second (0: no limit). Its root must not be writable (vsftpd refuses a
  // writable root); the caller makes it so.
  bool StartVsftpd(const std::filesystem::path& root, const std::filesystem::path& work,
                   const std::string& address, int maxRate = 0) {
    namespace fs = std::filesystem;
    const std::string program = SbinProgram("vsftpd");
    if (!ProgramExists(program)) return false;
    fs::create_directories(work / "empty");
    return StartWith(address, [&](int port) {
      std::string conf = "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=" + address +
                         "\nlisten_port=" + std::to_string(port) +
                         "\nanonymous_enable=YES\nno_anon_password=NO\nanon_root=" + fs::absolute(root).string() +
                         "\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=YES\npasv_address=" + address +
                         "\nsecure_chroot_dir=" + (work / "empty").string() +
                         "\nseccomp_sandbox=NO\nxferlog_enable=YES\nvsftpd_log_file=" + (work / "vsftpd.log").string() +
                         "\nanon_max_rate=" + std::to_string(maxRate) + "\n";
      if (::geteuid() != 0) conf += "run_as_launching_user=YES\n";
      WriteFile(work / "vsftpd.conf", conf);
      return StartProcess({program, (work / "vsftpd.conf").string()}, (work / "vsftpd.out").string());
    });
  }

  // pyftpdlib with one user; anonymous logins are refused.
  bool StartPyftpdlib(const std::filesystem::path& root, const std::filesystem::path& work,
                      const std::string& address, const std::string& user, const std::string& password) {
    if (std::system("/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1") != 0) return false;
    std::filesystem::create_directories(work);
    return StartWith(address, [&](int port) {
      return StartProcess({"/usr/bin/python3", "-m", "pyftpdlib", "-i", address, "-p", std::to_string(port), "-d",
                           std::filesystem::absolute(root).string(), "-u", user, "-P", password},
                          (work / "pyftpdlib.out").string());
    });
  }

  void Stop() {
    StopProcess(pid_);
    pid_ = -1;
  }

  std::string Url(const std::string& path, const std::string& login = "") const {
    return "ftp://" + login + (login.empty() ? "" : "@") + address_ + ":" + std::to_string(port_) + path;
  }

 private:
  // Another program may take the chosen port before the server binds it.
  template <typename Launch>
  bool StartWith(const std::string& address, Launch launch) {
    Stop();
    address_ = address;
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreeLoopbackPort();
      pid_ = launch(port_);
      if (WaitForPort(port_, 5000, address)) return true;
      Stop();
    }
    return false;
  }

  std::string address_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace pf::testing
