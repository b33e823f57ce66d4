// pftool check TORRENT FOLDER: the engine's start-up check of a torrent's
// files in a folder, what it finds held, and the empty files that are missing.
#include <cstdio>
#include <filesystem>

#include "Command.h"
#include "ProgressBar.h"
#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"

namespace pftool {
namespace {

class QuietOwner : public pf::PieceEventSink {
 public:
  void OnPieceEvent(const pf::PieceEvent&) override {}
  bool IsStopping() override { return false; }
};

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    return PrintCommandUsage("check");
  }
  std::error_code error;
  const std::filesystem::path torrentPath = std::filesystem::absolute(args[0], error);
  std::string folder = std::filesystem::absolute(args[1], error).string();
  if (!std::filesystem::is_directory(folder)) {
    std::fprintf(stderr, "pftool check: %s: not a folder\n", args[1].c_str());
    return 1;
  }
  if (folder.back() != '/') folder += '/';

  pf::TTorrent torrent;
  torrent.SetBaseDirectory(folder);
  if (!torrent.OpenFileAddress("file://" + torrentPath.string())) {
    std::fprintf(stderr, "pftool check: %s: not a usable torrent: %s\n", args[0].c_str(),
                 torrent.Error().c_str());
    return 1;
  }

  QuietOwner owner;
  auto map = pf::RefPtr<pf::TPieces>::Make(&owner);
  map->baseDirectory = folder;
  map->LoadLayout(torrent);
  ProgressBar bar("checking");
  const int64_t total = torrent.TotalLength();
  map->checkProgress = [&](int64_t examined) { bar.Show(examined, total); };
  const bool checked = map->BuildPieces(nullptr);
  bar.Show(total, total);
  bar.Finish();
  if (!checked && map->checkedBytes < total) {
    std::fprintf(stderr, "pftool check: the check did not finish\n");
    return 1;
  }
  std::printf("held: %d/%lld\n", map->finishedPieces, static_cast<long long>(map->pieceCount));
  std::printf("bytes: %lld/%lld\n", static_cast<long long>(map->doneBytes), static_cast<long long>(total));
  // They hold no piece; a task's start makes them again.
  for (const pf::TFileEntry* entry : map->MissingEmptyFiles())
    std::printf("missing empty file: %s\n", entry->relativeName.c_str());
  return 0;
}

}  // namespace pftool
