#include "platform/File.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace pf::platform {

namespace {
// One system call moves at most this much; the loops below carry on.
constexpr int64_t kMaxTransfer = int64_t{1} << 30;
}  // namespace

File::~File() { Close(); }

bool File::Open(const char* path, Mode mode, WriteThrough writeThrough) {
  Close();
  if (!path || !*path) return false;
  int flags = O_CLOEXEC | (writeThrough == WriteThrough::kYes ? O_DSYNC : 0);
  switch (mode) {
    case Mode::ReadExisting: flags |= O_RDONLY; break;
    case Mode::ReadWriteCreate: flags |= O_RDWR | O_CREAT; break;
    case Mode::ReadWriteTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    openRefused_ = errno == EROFS || errno == EACCES || errno == EPERM || errno == ENOTDIR || errno == EISDIR;
    return false;
  }
  openRefused_ = false;
  // A directory opens read-only here, but it is never a file we can store into.
  struct stat st{};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    openRefused_ = true;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int64_t File::Size() const {
  struct stat st{};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t File::ReadAt(void* bytes, int64_t count, int64_t offset) {
  if (fd_ < 0 || !bytes || count < 0 || offset < 0 || count > INT64_MAX - offset) return -1;
  auto* out = static_cast<unsigned char*>(bytes);
  int64_t done = 0;
  while (done < count) {
    int64_t part = count - done < kMaxTransfer ? count - done : kMaxTransfer;
    ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(part), static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t File::WriteAt(const void* bytes, int64_t count, int64_t offset) {
  if (fd_ < 0 || !bytes || count < 0 || offset < 0 || count > INT64_MAX - offset) return -1;
  const auto* in = static_cast<const unsigned char*>(bytes);
  int64_t done = 0;
  while (done < count) {
    int64_t part = count - done < kMaxTransfer ? count - done : kMaxTransfer;
    ssize_t n = ::pwrite(fd_, in + done, static_cast<size_t>(part), static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

bool File::SetLength(int64_t length) {
  if (fd_ < 0 || length < 0) return false;
  int64_t old = Size();
  if (old < 0) return false;
  if (length > old) {
    int rc;
    do {
      rc = ::fallocate(fd_, 0, static_cast<off_t>(old), static_cast<off_t>(length - old));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
      // Typically ENOSPC. Some file systems keep what they managed to
      // allocate; give it back so the file is as it was.
      int err = errno;
      while (::ftruncate(fd_, static_cast<off_t>(old)) != 0 && errno == EINTR) {
      }
      errno = err;
      return false;
    }
    // No reservation on this file system: the file grows sparsely.
  }
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool File::Sync() {
  if (fd_ < 0) return false;
  int rc;
  do {
    rc = ::fdatasync(fd_);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

void File::StartWriteBack(int64_t offset, int64_t count) {
  if (fd_ >= 0 && count > 0)
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
}

void File::AdviseSequential() {
  if (fd_ >= 0) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

bool OpenFileChecked(File& file, const char* path, File::Mode mode) {
  struct statfs volume{};
  if (::statfs(".", &volume) != 0) return false;
  // FAT and exFAT are the file systems without sparse files.
  constexpr long kFat = 0x4d44, kExFat = 0x2011BAB0;
  const bool sparse = volume.f_type != kFat && volume.f_type != kExFat;
  return file.Open(path, mode, sparse ? File::WriteThrough::kYes : File::WriteThrough::kNo);
}

}  // namespace pf::platform
