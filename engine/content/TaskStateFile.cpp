#include "engine/content/TaskStateFile.h"

#include <fstream>
#include <iterator>

#include "engine/content/AtomicFileWriter.h"
#include "engine/content/Bencode.h"
#include "platform/FileSystem.h"

namespace pf {

namespace {

// Shorter values are placeholders, not content.
constexpr int kMinValueLength = 3;

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || size > TaskStateFile::kMaxFileBytes) return false;
  in.seekg(0);
  bytes.resize(static_cast<size_t>(size));
  in.read(bytes.data(), size);
  return in.gcount() == size;
}

void TakeValue(const QElement& root, const char* key, std::string& target) {
  const QElement* value = root.FindValue(key, -1);
  if (!value || value->Kind() != QElement::kKindText || HasInteger(value)) return;
  if (TextLength(value) >= kMinValueLength) target = std::string(TextBytes(value));
}

void AddValue(QElement& root, const char* key, const std::string& value) {
  if (value.empty()) return;
  root.AppendText(key, -1, 0, false);
  root.AppendText(value.data(), static_cast<int>(value.size()), 0, false);
}

}  // namespace

bool TaskStateFile::Read(const std::string& path, TaskStateStrings& out) {
  std::string bytes;
  if (path.empty() || !ReadWholeFile(path, bytes)) return false;
  const std::unique_ptr<QElement> root = ParseElement(bytes);
  if (!root || root->Kind() != QElement::kKindDictionary) return false;
  TaskStateStrings read = out;
  TakeValue(*root, "torrent", read.torrent);
  TakeValue(*root, "part", read.part);
  TakeValue(*root, "bits", read.bits);
  TakeValue(*root, "seeds", read.seeds);
  out = std::move(read);
  return true;
}

std::string TaskStateFile::Encode(const TaskStateStrings& in) {
  auto root = NewDictionary();
  AddValue(*root, "bits", in.bits);
  AddValue(*root, "part", in.part);
  AddValue(*root, "seeds", in.seeds);
  AddValue(*root, "torrent", in.torrent);
  std::string bytes;
  if (!pf::Encode(root.get(), bytes)) bytes.clear();
  return bytes;
}

bool TaskStateFile::Write(const std::string& path, const TaskStateStrings& in) {
  if (path.empty()) return false;
  const std::string bytes = Encode(in);
  if (bytes.empty()) return false;
  return AtomicFileWriter::WriteWhole(path, bytes);
}

bool TaskStateFile::Delete(const std::string& path) {
  return !path.empty() && platform::RemoveFile(path.c_str());
}

}  // namespace pf
