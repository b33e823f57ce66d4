#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdio>
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

bool PathExists(const char* path) {
  struct stat st{};
  return path && *path && ::stat(path, &st) == 0;
}

bool SetReadOnlyMark(const char* path, bool readOnly) {
  struct stat st{};
  if (!path || !*path || ::stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = readOnly ? (mode & ~static_cast<mode_t>(S_IWUSR)) : (mode | S_IWUSR);
  if (wanted == mode) return true;
  return ::chmod(path, wanted) == 0;
}

bool DirectoryFreeBytes(const char* directory, uint64_t* bytes) {
  if (!directory || !*directory || !bytes) return false;
  struct statvfs info{};
  if (::statvfs(directory, &info) != 0) return false;
  *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

bool CreateDirectories(const char* directory) {
  if (!directory || !*directory) return false;
  std::string path(directory);
  // Each prefix that ends before a '/' names a parent; the whole path last.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string prefix = path.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0777) != 0 &&
        errno != EEXIST)
      return false;
    if (end == std::string::npos) break;
  }
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RenameFile(const char* from, const char* to) {
  if (!from || !*from || !to || !*to) return false;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the no-replace flag: check first. The gap before the
  // rename is acceptable for files that only this process writes.
  if (PathExists(to)) return false;
  return ::rename(from, to) == 0;
}

namespace {

bool SyncOpened(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  // Some file systems cannot sync a directory; nothing more can be done there.
  const bool ok = rc == 0 || ((flags & O_DIRECTORY) && (errno == EINVAL || errno == EBADF));
  ::close(fd);
  return ok;
}

}  // namespace

bool ReplaceFile(const char* from, const char* to) {
  if (!from || !*from || !to || !*to) return false;
  return ::rename(from, to) == 0;
}

bool SyncPath(const char* path) {
  if (!path || !*path) return false;
  struct stat st{};
  if (::stat(path, &st) != 0) return false;
  return SyncOpened(path, S_ISDIR(st.st_mode) ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
}

bool SyncParentDirectory(const char* path) {
  if (!path || !*path) return false;
  std::string directory(path);
  const size_t slash = directory.find_last_of('/');
  if (slash == std::string::npos)
    directory = ".";
  else
    directory.erase(slash == 0 ? 1 : slash);
  return SyncOpened(directory.c_str(), O_RDONLY | O_DIRECTORY);
}

bool LastWriteTime(const char* path, uint64_t* time) {
  struct stat st{};
  if (!path || !*path || !time || ::stat(path, &st) != 0) return false;
  // Seconds between 1601-01-01 and 1970-01-01.
  constexpr int64_t kEpochDifference = 11644473600LL;
  const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDifference;
  if (seconds < 0) return false;
  *time = static_cast<uint64_t>(seconds) * 10000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec / 100);
  return true;
}

bool RemoveFile(const char* path) {
  if (!path || !*path) return false;
  return ::unlink(path) == 0 || errno == ENOENT;
}

}  // namespace pf::platform
