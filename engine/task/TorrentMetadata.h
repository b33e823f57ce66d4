#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/content/PieceEvent.h"
#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"
#include "engine/content/TTorrentOwner.h"
#include "engine/wire/BtHandshake.h"

namespace pf {

// How a task turns torrent bytes into what it works with: the opened torrent,
// the piece map laid out over its files, the trackers that join the task's
// sources, and the task's BitTorrent peer id. Holds no state of its own.
class TorrentMetadata {
 public:
  // What the map is built from, copied from the task under its lock.
  struct Inputs {
    std::string torrentBytes;
    std::string taskLink;      // the task key
    std::string saveFolder;
    std::string targetFile;    // the file itself, when the task names one
    std::string fileList;      // the map's saved file list
    std::string resumeRecord;  // the map's saved resume record
    std::string partialsPath;  // the partial-pieces file
    int memoryLimit = 64;      // piece cache in 256 KB units (TaskConfig::PieceCacheUnits)
    bool sizesOnlyCheck = false;
  };

  // Whether a task key names a local torrent file ("file://", any case).
  static bool IsFileKey(const std::string& key);
  // The torrent file a "file://" key names; empty when it cannot be read or
  // is no bencoded dictionary.
  static std::string ReadKeyFile(const std::string& key);

  // The torrent, opened; null when the bytes make no usable torrent.
  static std::unique_ptr<TTorrent> Open(const Inputs& inputs, TTorrentOwner* owner);
  // A piece map over the torrent's files with the saved selection and resume
  // record, not yet built. It reports to `sink`.
  static RefPtr<TPieces> LayOut(const Inputs& inputs, TTorrent& torrent, PieceEventSink* sink);
  // The torrent's trackers as source texts, without those `sources` holds.
  static std::vector<std::string> NewTrackerSources(const TTorrent& torrent,
                                                    const std::vector<std::string>& sources);
  // Our peer id for the torrent (the task's address, thread and clock keep
  // two tasks of one process apart).
  static BtHash MakePeerId(const TTorrent& torrent, uintptr_t taskAddress, uint32_t localIp);
};

}  // namespace pf
