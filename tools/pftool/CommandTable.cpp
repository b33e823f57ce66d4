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
      {"download",
       "download --torrent FILE --target PATH --source URL [--source URL ...] [--limit KBps]\n"
       "             [--resume STATEFILE] [--log BASE]",
       RunDownload},
  };
  return kCommands;
}

}  // namespace pftool
