#pragma once
// Positioned access to one file, standing in for the system's file handle.
#include <cstdint>

namespace pf::platform {

class File {
 public:
  enum class Mode {
    ReadExisting,       // read-only; the file must exist
    ReadWriteCreate,    // read-write; created when missing
    ReadWriteTruncate,  // read-write; created or cut to length 0
  };

  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Whether each write reaches the disk before it returns.
  enum class WriteThrough { kNo, kYes };

  // Closes what was open before. A directory is refused.
  bool Open(const char* path, Mode mode, WriteThrough writeThrough = WriteThrough::kNo);
  // Whether the last failed Open will fail again however often it is tried:
  // the file system is read-only, access is denied, or a part of the path
  // is not a folder (a full table of open files, say, passes).
  bool OpenRefused() const { return openRefused_; }
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  int64_t Size() const;  // -1 when closed or unreadable
  // Full count unless the file ends or an error stops the transfer part way;
  // -1 when nothing was transferred because of an error.
  int64_t ReadAt(void* bytes, int64_t count, int64_t offset);
  int64_t WriteAt(const void* bytes, int64_t count, int64_t offset);
  // Growing reserves the blocks where the file system can, so that a full
  // disk fails here; a failed grow leaves the old length.
  bool SetLength(int64_t length);
  bool Sync();
  // Starts writing a just-written range to disk without waiting for it, so
  // that dirty data does not pile up for a later Sync to wait on.
  void StartWriteBack(int64_t offset, int64_t count);
  // Hint that the file will be read front to back.
  void AdviseSequential();

 private:
  int fd_ = -1;
  bool openRefused_ = false;
};

// Opens as File::Open does, asking for write-through where the volume of
// the current directory supports sparse files (the modern file systems);
// false without opening when the volume cannot be asked.
bool OpenFileChecked(File& file, const char* path, File::Mode mode);

}  // namespace pf::platform
