#pragma once
// What the metainfo reader hands the piece map for each target file, and the
// part of an earlier file entry that a reopened task takes over.
#include <cstdint>
#include <string>

namespace pf {

// Where an existing file of a task lives on disk.
struct TTorrentFilePlace {
  std::string path;        // where the file is written now (may be the temporary name)
  std::string finalPath;   // its name once complete; empty when `path` already is
  bool usesTempName = false;
};

struct TTorrentFile {
  TTorrentFilePlace place;   // path = save folder + relativeName unless taken over
  std::string relativeName;  // below the save folder, '/' between components
  int64_t length = 0;
  int index = 0;             // position among the file entries made
  int64_t offset = 0;        // sum of the lengths of the entries before it
  int64_t firstPiece = 0;    // offset / piece length
  int64_t lastPiece = 0;     // piece holding the file's last byte (firstPiece when empty)
};

}  // namespace pf
