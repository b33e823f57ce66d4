#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <csignal>
#include <cstring>

#include "platform/Clock.h"

namespace pf::platform {
namespace {

constexpr char kReply[] = "OK\n";
constexpr int kTakeOverWaitMs = 5000;  // for the ended copy's lock to go

// An address in the abstract namespace: no file to leave behind.
sockaddr_un AbstractAddress(const std::string& name, socklen_t* length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t room = sizeof(address.sun_path) - 1;
  const size_t used = std::min(name.size(), room);
  std::memcpy(address.sun_path + 1, name.data(), used);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
  return address;
}

bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & events) != 0;
}

std::string ReadLink(const std::string& path) {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool IsThisProgram(int pid) {
  if (pid <= 0 || pid == ::getpid()) return false;
  const std::string theirs = ReadLink("/proc/" + std::to_string(pid) + "/exe");
  return !theirs.empty() && theirs == ReadLink("/proc/self/exe");
}

SingleInstance::SingleInstance(std::string folder, std::string name)
    : lockPath_(folder + "/" + name + ".lock"), address_("pelicanfetch-" + name) {}

SingleInstance::~SingleInstance() {
  if (listenFd_ >= 0) ::close(listenFd_);
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

bool SingleInstance::TryLock() {
  if (lockFd_ < 0) lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(lockFd_, F_SETLK, &lock) != 0) return false;
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lockFd_, 0) == 0) (void)!::pwrite(lockFd_, pid.data(), pid.size(), 0);
  return true;
}

int SingleInstance::HolderPid() const {
  if (lockFd_ < 0) return 0;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(lockFd_, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
}

bool SingleInstance::Listen() {
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  socklen_t length = 0;
  const sockaddr_un address = AbstractAddress(address_, &length);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 4) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  return true;
}

SingleInstance::Role SingleInstance::Claim(int replyWaitMs) {
  if (TryLock()) {
    Listen();
    return Role::kFirst;
  }
  // Another copy holds the lock: hand over to it.
  const int holder = HolderPid();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    socklen_t length = 0;
    const sockaddr_un address = AbstractAddress(address_, &length);
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      std::array<char, PATH_MAX> cwd{};
      std::string message = ::getcwd(cwd.data(), cwd.size()) ? cwd.data() : "";
      message += '\n';
      if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size()) &&
          WaitFor(fd, POLLIN, replyWaitMs)) {
        char reply[sizeof kReply] = {};
        answered = ::recv(fd, reply, sizeof reply - 1, 0) > 0 && std::strcmp(reply, kReply) == 0;
      }
    }
    ::close(fd);
    if (answered) return Role::kHandedOver;
  }
  // No answer in time: the other copy hangs. End it only when it really is
  // this program (a lock held by anything else is left alone).
  if (IsThisProgram(holder)) {
    ::kill(holder, SIGKILL);
    const uint32_t start = TickCount();
    bool locked = false;
    while (!(locked = TryLock()) && TickCount() - start < static_cast<uint32_t>(kTakeOverWaitMs)) SleepMs(20);
    if (locked) Listen();
  }
  return Role::kTookOver;
}

bool SingleInstance::TakeHandOver(std::string* workingDirectory) {
  if (listenFd_ < 0) return false;
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  std::string message;
  char buffer[512];
  // The other start sent its line before waiting; a short wait suffices.
  while (message.find('\n') == std::string::npos && message.size() < PATH_MAX && WaitFor(fd, POLLIN, 200)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    message.append(buffer, static_cast<size_t>(n));
  }
  (void)::send(fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
  ::close(fd);
  if (workingDirectory) *workingDirectory = message.substr(0, message.find('\n'));
  return true;
}

}  // namespace pf::platform
