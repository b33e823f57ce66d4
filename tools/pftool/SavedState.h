#pragma once
// What a task state file beside a download holds for it: nothing, the
// state of this torrent's download, something unreadable, or the state of
// another torrent's download (which must not be continued).
#include <filesystem>
#include <string>

namespace pftool {

enum class SavedStateKind { kNone, kThisTorrent, kUnreadable, kOtherTorrent };

struct SavedState {
  SavedStateKind kind = SavedStateKind::kNone;
  std::string savedInfoHash;  // hex, for kOtherTorrent
  std::string infoHash;       // hex, of the torrent given
};

SavedState InspectSavedState(const std::filesystem::path& state, const std::filesystem::path& torrent);

// Moves a state file (and its companion) aside under `suffix`, so that it
// is neither continued nor lost; the new name, or empty when it could not
// be moved.
std::string SetStateAside(const std::filesystem::path& state, const std::string& suffix);

}  // namespace pftool
