#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace pf {
namespace platform {
class File;
}

// One open target file. Reads and writes are positioned; a negative offset
// means "at the current position".
class TFileHandle {
 public:
  // Hint for a file read front to back (the start-up check).
  static constexpr uint32_t kSequentialScan = 0x08000000;

  TFileHandle();
  ~TFileHandle();
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  // Read-only opens an existing file; read-write creates it when missing.
  // Opening closes whatever the object held before.
  bool Open(const std::string& path, bool readOnly);
  // Read-write, truncating an existing file to length 0.
  bool OpenForReplace(const std::string& path);
  // The last failed open will fail again (read-only file system, access
  // denied, a path through a file).
  bool OpenRefused() const;
  void Close();
  bool IsOpen() const;
  bool IsReadOnly() const { return readOnly; }

  int64_t Size() const;  // -1 on failure
  // method: 0 from the start, 1 from the current position, 2 from the end.
  // New position, or -1 (closed file, bad method, before the start).
  int64_t Seek(int64_t offset, int method);
  int64_t Position() const { return position_; }

  // Count read (short at the end of the file), -1 on error, -3 bad offset.
  int64_t ReadAt(void* bytes, int64_t count, int64_t offset);
  // Count written, -1 on error (null bytes, count <= 0, read-only), -3 bad offset.
  int64_t WriteAt(const void* bytes, int64_t count, int64_t offset);
  // Sets the file's length; growing reserves the space on file systems that
  // can, so that a full disk shows here rather than at a later write.
  bool SetLength(int64_t length);
  // Makes the written bytes durable.
  bool Sync();

  // Every handle this object opens is its own and closed by it; the flag is
  // kept for callers that record it.
  bool ownsHandle = true;
  bool readOnly = false;
  uint32_t openFlags = 0;

 private:
  // Written bytes are handed to the disk every few megabytes (a run of
  // adjacent writes at a time), so that dirty data does not pile up for a
  // save's sync or the final one to wait on.
  static constexpr int64_t kWriteBackRun = 4 << 20;
  void NoteWritten(int64_t offset, int64_t count);

  std::unique_ptr<platform::File> file_;
  int64_t position_ = 0;
  int64_t runStart_ = 0;  // the run of adjacent written bytes not yet handed to the disk
  int64_t runEnd_ = 0;
};

}  // namespace pf
