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
       "download --torrent FILE --target PATH [--source URL ...] [--limit KBps] [--upload-limit KBps]\n"
       "             [--interface IP] [--port N] [--peers N] [--resume STATEFILE] [--log BASE]",
       RunDownload},
      {"seed",
       "seed --torrent FILE --target PATH [--interface IP] [--port N] [--peers N] [--upload-limit KBps]",
       RunSeed},
  };
  return kCommands;
}

}  // namespace pftool
