#include "engine/content/TFileEntry.h"

#include <climits>

#include "platform/FileSystem.h"

namespace pf {

namespace {

constexpr int64_t kUnknownFreeSpace = 2147483647;
constexpr size_t kMaxDirectoryLength = 4096;

// Position of the last separator; both kinds are accepted because paths
// written on Windows travel in torrents and task records.
size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

void TFileEntry::Construct(const std::string& newPath, const std::string& newRelativeName,
                           int64_t newLength, int newIndex) {
  path = newPath;
  // These characters cannot be in a Windows file name, so a torrent that has
  // them would never open there; write the same names on every system.
  static const std::string kLongPathPrefix = "\\\\?\\";
  size_t start = path.compare(0, kLongPathPrefix.size(), kLongPathPrefix) == 0 ? kLongPathPrefix.size() : 0;
  for (size_t i = start; i < path.size(); ++i) {
    char& c = path[i];
    if (c == '?' || c == '\r' || c == '\n') c = '_';
  }
  relativeName = newRelativeName;
  finalPath.clear();
  usesTempName = 0;
  length = newLength;
  index = newIndex;
  priority = kSelected;
  firstPiece = -1;
  pieceSpan = -1;
}

void TFileEntry::SetPieceSpan(int pieceLength) {
  if (pieceLength <= 0 || offset < 0) {
    firstPiece = -1;
    pieceSpan = -1;
    return;
  }
  int64_t first = offset / pieceLength;
  firstPiece = first > INT_MAX ? INT_MAX : static_cast<int>(first);
  if (length <= 0) {
    pieceSpan = 0;
    return;
  }
  // Bytes up to the next piece boundary lie in the first, shared piece.
  int64_t r = offset % pieceLength;
  int64_t e = r > 0 ? pieceLength - r : 0;
  int64_t rest = length - e;
  if (rest <= 0) {
    pieceSpan = 1;
    return;
  }
  int64_t span = rest / pieceLength + (rest % pieceLength != 0 ? 1 : 0) + (r > 0 ? 1 : 0);
  pieceSpan = span > INT_MAX ? INT_MAX : static_cast<int>(span);
}

void TFileEntry::SetUpTempName() {
  // A file already on disk, finished or partly written, keeps its name.
  if (usesTempName || path.empty() || FileExists(path)) return;
  finalPath = path;
  path += kTempExtension;
  usesTempName = 1;
}

bool TFileEntry::RenameToFinal() {
  if (!usesTempName || finalPath.empty() || !FileExists(path)) return false;
  if (!platform::RenameFile(path.c_str(), finalPath.c_str())) return false;
  usesTempName = 0;
  path = finalPath;
  finalPath.clear();
  return true;
}

bool FileExists(const std::string& path) { return platform::PathExists(path.c_str()); }

bool SetReadOnly(const std::string& path, bool readOnly) {
  return platform::SetReadOnlyMark(path.c_str(), readOnly);
}

int64_t FreeSpace(const std::string& path) {
  size_t sep = LastSeparator(path);
  // A bare file name lives in the working directory.
  std::string directory = sep == std::string::npos ? std::string(".") : path.substr(0, sep + 1);
  if (directory.size() > kMaxDirectoryLength) return kUnknownFreeSpace;
  uint64_t bytes = 0;
  if (!platform::DirectoryFreeBytes(directory.c_str(), &bytes)) return kUnknownFreeSpace;
  return bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

bool MakeDirectories(const std::string& path) {
  size_t sep = LastSeparator(path);
  if (sep == std::string::npos || sep == 0) return true;  // nothing before the name
  return platform::CreateDirectories(path.substr(0, sep).c_str());
}

}  // namespace pf
