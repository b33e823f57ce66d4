#pragma once
// Single-file and multi-file torrents over deterministic content, written to
// a folder.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

namespace torrent_detail {

inline std::string Text(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

inline std::string PieceHashes(const std::string& content, int pieceLength) {
  std::string hashes;
  for (size_t start = 0; start < content.size(); start += static_cast<size_t>(pieceLength)) {
    const auto digest =
        Sha1::hash(content.data() + start, std::min<size_t>(static_cast<size_t>(pieceLength), content.size() - start));
    hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  return hashes;
}

}  // namespace torrent_detail

// A multi-file torrent "<folder>/<name>.torrent" whose files (paths below the
// torrent's folder, '/' between components; empty ones allowed) hold
// consecutive slices of one deterministic byte stream.
struct MultiFileTorrentFixture {
  struct File {
    std::string path;
    int64_t length;
  };

  MultiFileTorrentFixture(const std::filesystem::path& folder, const std::string& torrentName,
                          std::vector<File> torrentFiles, int pieceLength, uint32_t seed = 7)
      : name(torrentName), files(std::move(torrentFiles)), pieceLength(pieceLength) {
    using torrent_detail::Text;
    int64_t total = 0;
    for (const File& file : files) total += file.length;
    content = StreamBytes(total, seed);
    std::string list;
    for (const File& file : files) {
      std::string components;
      for (size_t start = 0, slash; start <= file.path.size(); start = slash + 1) {
        slash = file.path.find('/', start);
        if (slash == std::string::npos) slash = file.path.size();
        components += Text(file.path.substr(start, slash - start));
      }
      list += "d6:lengthi" + std::to_string(file.length) + "e4:pathl" + components + "ee";
    }
    const std::string info = "d5:filesl" + list + "e4:name" + Text(name) + "12:piece lengthi" +
                             std::to_string(pieceLength) + "e6:pieces" +
                             Text(torrent_detail::PieceHashes(content, pieceLength)) + "e";
    bytes = "d4:info" + info + "e";
    path = (folder / (name + ".torrent")).string();
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // The bytes of file `index`.
  std::string FileBytes(size_t index) const {
    int64_t offset = 0;
    for (size_t i = 0; i < index; ++i) offset += files[i].length;
    return content.substr(static_cast<size_t>(offset), static_cast<size_t>(files[index].length));
  }

  // Writes every file under `saveFolder`/<name>/.
  void WriteFiles(const std::filesystem::path& saveFolder) const {
    for (size_t i = 0; i < files.size(); ++i) {
      const std::filesystem::path file = saveFolder / name / files[i].path;
      std::filesystem::create_directories(file.parent_path());
      std::ofstream(file, std::ios::binary) << FileBytes(i);
    }
  }

  std::string name;
  std::vector<File> files;
  std::string content;
  int pieceLength;
  std::string bytes;
  std::string path;
};

}  // namespace pf::testing
