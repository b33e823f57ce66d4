#include "SavedState.h"

#include <fstream>
#include <iterator>

#include "engine/content/TTorrent.h"
#include "engine/content/TaskStateFile.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;

// The info-hash of a metainfo, in hex; empty when it is not a usable torrent.
std::string InfoHashOf(const std::string& metainfo) {
  pf::TTorrent torrent;
  if (metainfo.empty() || !torrent.OpenBytes(metainfo.data(), static_cast<int64_t>(metainfo.size())))
    return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : torrent.GetInfoHash()) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace

SavedState InspectSavedState(const fs::path& state, const fs::path& torrent) {
  SavedState result;
  std::error_code error;
  if (!fs::is_regular_file(state, error)) return result;
  std::ifstream in(torrent, std::ios::binary);
  result.infoHash = InfoHashOf(std::string(std::istreambuf_iterator<char>(in), {}));
  pf::TaskStateStrings saved;
  if (!pf::TaskStateFile::Read(state.string(), saved)) {
    result.kind = SavedStateKind::kUnreadable;
    return result;
  }
  result.savedInfoHash = InfoHashOf(saved.torrent);
  if (result.savedInfoHash.empty())
    result.kind = SavedStateKind::kUnreadable;
  else if (!result.infoHash.empty() && result.savedInfoHash != result.infoHash)
    result.kind = SavedStateKind::kOtherTorrent;
  else
    result.kind = SavedStateKind::kThisTorrent;
  return result;
}

std::string SetStateAside(const fs::path& state, const std::string& suffix) {
  std::error_code error;
  const fs::path aside = state.string() + suffix;
  fs::rename(state, aside, error);
  if (error) return std::string();
  const fs::path companion = pf::TaskStateFile::PartialsPath(state.string());
  if (fs::exists(companion, error)) fs::rename(companion, pf::TaskStateFile::PartialsPath(aside.string()), error);
  return aside.string();
}

}  // namespace pftool
