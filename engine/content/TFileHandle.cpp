#include "engine/content/TFileHandle.h"

#include "platform/File.h"

namespace pf {

TFileHandle::TFileHandle() : file_(std::make_unique<platform::File>()) {}

TFileHandle::~TFileHandle() = default;

bool TFileHandle::Open(const std::string& path, bool readOnlyOpen) {
  Close();
  readOnly = readOnlyOpen;
  bool ok = file_->Open(path.c_str(), readOnlyOpen ? platform::File::Mode::ReadExisting
                                                   : platform::File::Mode::ReadWriteCreate);
  if (ok && (openFlags & kSequentialScan)) file_->AdviseSequential();
  return ok;
}

bool TFileHandle::OpenForReplace(const std::string& path) {
  Close();
  readOnly = false;
  bool ok = file_->Open(path.c_str(), platform::File::Mode::ReadWriteTruncate);
  if (ok && (openFlags & kSequentialScan)) file_->AdviseSequential();
  return ok;
}

void TFileHandle::Close() {
  file_->Close();
  position_ = runStart_ = runEnd_ = 0;
}

bool TFileHandle::IsOpen() const { return file_->IsOpen(); }

bool TFileHandle::OpenRefused() const { return file_->OpenRefused(); }

int64_t TFileHandle::Size() const { return file_->Size(); }

int64_t TFileHandle::Seek(int64_t offset, int method) {
  if (!file_->IsOpen()) return -1;
  int64_t base;
  switch (method) {
    case 0: base = 0; break;
    case 1: base = position_; break;
    case 2:
      base = file_->Size();
      if (base < 0) return -1;
      break;
    default: return -1;
  }
  // A position before the start (or past the 64-bit range) is refused and
  // leaves the current one.
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
  position_ = base + offset;
  return position_;
}

int64_t TFileHandle::ReadAt(void* bytes, int64_t count, int64_t offset) {
  if (!bytes || count < 0 || !file_->IsOpen()) return -1;
  if (offset >= 0 && Seek(offset, 0) < 0) return -3;
  if (count == 0) return 0;
  int64_t n = file_->ReadAt(bytes, count, position_);
  if (n > 0) position_ += n;
  return n;
}

int64_t TFileHandle::WriteAt(const void* bytes, int64_t count, int64_t offset) {
  if (!bytes || count <= 0 || readOnly || !file_->IsOpen()) return -1;
  if (offset >= 0 && Seek(offset, 0) < 0) return -3;
  int64_t n = file_->WriteAt(bytes, count, position_);
  if (n > 0) {
    NoteWritten(position_, n);
    position_ += n;
  }
  return n;
}

void TFileHandle::NoteWritten(int64_t offset, int64_t count) {
  if (offset != runEnd_) {
    if (runEnd_ > runStart_) file_->StartWriteBack(runStart_, runEnd_ - runStart_);
    runStart_ = offset;
  }
  runEnd_ = offset + count;
  if (runEnd_ - runStart_ >= kWriteBackRun) {
    file_->StartWriteBack(runStart_, runEnd_ - runStart_);
    runStart_ = runEnd_;
  }
}

bool TFileHandle::SetLength(int64_t length) {
  if (!file_->IsOpen() || readOnly || length < 0) return false;
  // The length change leaves the position at the new end, as a seek there
  // followed by cutting the file would.
  position_ = length;
  return file_->SetLength(length);
}

bool TFileHandle::Sync() { return file_->Sync(); }

}  // namespace pf
