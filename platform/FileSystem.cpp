#include "platform/FileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace pf::platform {

bool AppendToFile(const char* path, const char* data, size_t length) {
  if (!path || !*path) return false;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  ::close(fd);
  return ok;
}

uint64_t FreeBytesAvailable(const char* path) {
  if (!path || path[0] != '/') return 0;
  std::string probe(path);
  for (;;) {
    struct statvfs info{};
    if (::statvfs(probe.c_str(), &info) == 0)
      return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    if (errno != ENOENT && errno != ENOTDIR) return 0;
    // Walk up to the nearest existing parent: a save folder need not exist yet.
    auto slash = probe.find_last_of('/');
    if (slash == std::string::npos || probe == "/") return 0;
    probe.erase(slash == 0 ? 1 : slash);
  }
}

int64_t AllocatedBytes(const char* path, bool* notFound) {
  if (notFound) *notFound = false;
  struct stat st{};
  if (!path || ::stat(path, &st) != 0) {
    if (notFound) *notFound = path && (errno == ENOENT || errno == ENOTDIR);
    return -1;
  }
  return static_cast<int64_t>(st.st_blocks) * 512;
}

}  // namespace pf::platform
