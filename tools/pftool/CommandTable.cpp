#include "Command.h"

namespace pftool {

std::span<const Command> Commands() {
  static constexpr Command kCommands[] = {
      {"torrent-info", "torrent-info FILE", RunTorrentInfo},
      {"make-torrent",
       "make-torrent --piece-length N --announce URL [--announce URL ...] [--name NAME]\n"
       "             [--comment TEXT] -o OUT.torrent PATH",
       RunMakeTorrent},
      {"check", "check TORRENT FOLDER", RunCheck},
      {"resume-info", "resume-info STATEFILE", RunResumeInfo},
  };
  return kCommands;
}

}  // namespace pftool
