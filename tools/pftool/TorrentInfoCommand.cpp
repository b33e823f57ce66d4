// pftool torrent-info FILE: what the engine reads from a torrent file.
#include <cstdio>
#include <filesystem>

#include "Command.h"
#include "engine/content/TTorrent.h"

namespace pftool {

int RunTorrentInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    return PrintCommandUsage("torrent-info");
  }
  // The engine opens torrents by file:// address; make the path absolute so
  // that the address names the same file wherever we run.
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(args[0], error);
  if (error) path = args[0];

  pf::TTorrent torrent;
  if (!torrent.OpenFileAddress("file://" + path.string())) {
    std::fprintf(stderr, "pftool torrent-info: %s: not a usable torrent: %s\n", args[0].c_str(),
                 torrent.Error().c_str());
    return 1;
  }
  std::printf("info_hash: %s\n", torrent.InfoHashHex().c_str());
  std::printf("name: %s\n", torrent.Name().c_str());
  std::printf("piece_length: %d\n", torrent.PieceLength());
  std::printf("pieces: %d\n", torrent.PieceCount());
  std::printf("total_length: %lld\n", static_cast<long long>(torrent.TotalLength()));
  for (const pf::TTorrentFile& file : torrent.Files())
    std::printf("file: %lld %s\n", static_cast<long long>(file.length), file.relativeName.c_str());
  for (const std::string& tracker : torrent.Trackers())
    if (!tracker.empty()) std::printf("tracker: %s\n", tracker.c_str());
  return 0;
}

}  // namespace pftool
