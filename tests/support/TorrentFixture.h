#pragma once
// A single-file torrent over deterministic content, written to a folder.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/content/Sha1.h"
#include "support/PieceMapFixture.h"

namespace pf::testing {

struct TorrentFixture {
  TorrentFixture(const std::filesystem::path& folder, const std::string& fileName, int64_t length,
                 int pieceLength, uint32_t seed = 7)
      : name(fileName), content(StreamBytes(length, seed)), pieceLength(pieceLength) {
    std::string hashes;
    for (int64_t start = 0; start < length; start += pieceLength) {
      const auto digest = Sha1::hash(content.data() + start,
                                     static_cast<size_t>(std::min<int64_t>(pieceLength, length - start)));
      hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    const std::string info = "d6:lengthi" + std::to_string(length) + "e4:name" +
                             std::to_string(name.size()) + ":" + name + "12:piece lengthi" +
                             std::to_string(pieceLength) + "e6:pieces" + std::to_string(hashes.size()) +
                             ":" + hashes + "e";
    bytes = "d4:info" + info + "e";
    path = (folder / (name + ".torrent")).string();
    std::ofstream(path, std::ios::binary) << bytes;
  }
  int PieceCount() const {
    return static_cast<int>((content.size() + pieceLength - 1) / pieceLength);
  }

  std::string name;
  std::string content;
  int pieceLength;
  std::string bytes;
  std::string path;
};

}  // namespace pf::testing
