#include "engine/content/AtomicFileWriter.h"

#include "platform/File.h"
#include "platform/FileSystem.h"

namespace pf {

AtomicFileWriter::AtomicFileWriter(std::string path)
    : path_(std::move(path)), temp_(path_ + kTempSuffix), file_(std::make_unique<platform::File>()) {}

AtomicFileWriter::~AtomicFileWriter() { Abandon(); }

bool AtomicFileWriter::Open() {
  Abandon();
  position_ = 0;
  pending_ = !path_.empty();
  failed_ = !pending_ || !file_->Open(temp_.c_str(), platform::File::Mode::ReadWriteTruncate);
  return !failed_;
}

bool AtomicFileWriter::Write(const void* bytes, int64_t count) {
  if (failed_ || !file_->IsOpen()) return false;
  if (count <= 0) return true;
  const int64_t written = file_->WriteAt(bytes, count, position_);
  if (written > 0) position_ += written;
  if (written != count) failed_ = true;
  return !failed_;
}

bool AtomicFileWriter::Commit() {
  if (failed_ || !file_->IsOpen()) {
    Abandon();
    return false;
  }
  // The new bytes must be on disk before the name points at them.
  const bool synced = file_->Sync();
  file_->Close();
  if (!synced || !platform::ReplaceFile(temp_.c_str(), path_.c_str())) {
    Abandon();
    return false;
  }
  pending_ = false;
  failed_ = true;  // a second Commit has nothing to commit
  platform::SyncParentDirectory(path_.c_str());
  return true;
}

void AtomicFileWriter::Abandon() {
  file_->Close();
  if (pending_) platform::RemoveFile(temp_.c_str());
  pending_ = false;
  failed_ = true;
}

bool AtomicFileWriter::WriteWhole(const std::string& path, std::string_view bytes) {
  AtomicFileWriter writer(path);
  return writer.Open() && writer.Write(bytes.data(), static_cast<int64_t>(bytes.size())) &&
         writer.Commit();
}

}  // namespace pf
