// Reads arbitrary bytes as torrent metainfo. A torrent that is accepted must
// have a layout that adds up and file names that stay below the save folder;
// a refused one must leave nothing behind.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/content/Sha1.h"
#include "engine/content/TTorrent.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "torrent fuzz check failed: %s\n", what);
    std::abort();
  }
}

bool SafeRelativeName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.back() == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." ||
        part.find('\\') != std::string_view::npos || part.find('\0') != std::string_view::npos)
      return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  pf::TTorrent torrent;
  if (!torrent.OpenBytes(bytes, static_cast<int64_t>(size))) {
    Check(!torrent.Error().empty(), "refused without a reason");
    Check(torrent.Files().empty() && torrent.Trackers().empty() && torrent.InfoHashHex().empty() &&
              torrent.PieceCount() == 0 && torrent.TotalLength() == 0,
          "a refused torrent left results behind");
    return 0;
  }
  Check(torrent.Error().empty(), "accepted with an error text");
  Check(torrent.InfoHashHex() == pf::Sha1::toHex(torrent.GetInfoHash()), "hex form differs");
  Check(torrent.InfoHashEscaped() == pf::TTorrent::EscapeInfoHash(torrent.GetInfoHash()),
        "escaped form differs");
  Check(torrent.PieceLength() > 0 && torrent.PieceLength() <= pf::TTorrent::kMaxPieceLength,
        "piece length out of range");
  Check(torrent.PieceHashes().size() == static_cast<size_t>(torrent.PieceCount()) * 20,
        "piece hashes and count disagree");
  Check(!torrent.Files().empty() && !torrent.Trackers().empty(), "no files or no tracker slot");
  int64_t offset = 0;
  for (const pf::TTorrentFile& file : torrent.Files()) {
    Check(file.length >= 0 && file.offset == offset, "file offsets do not add up");
    Check(file.firstPiece == offset / torrent.PieceLength(), "first piece wrong");
    Check(file.lastPiece >= file.firstPiece && file.lastPiece < torrent.PieceCount(),
          "piece span outside the map");
    Check(SafeRelativeName(file.relativeName), "unsafe relative name accepted");
    Check(file.place.path == file.relativeName, "path leaves the (empty) save folder");
    offset += file.length;
  }
  Check(offset == torrent.TotalLength() && offset > 0, "total length differs from the files");
  const int64_t pieces = (offset + torrent.PieceLength() - 1) / torrent.PieceLength();
  Check(pieces == torrent.PieceCount(), "pieces do not cover the total length");

  // Reopening the same bytes gives the same result.
  const std::string hash = torrent.InfoHashHex();
  Check(torrent.OpenBytes(bytes, static_cast<int64_t>(size)) && torrent.InfoHashHex() == hash,
        "reopening differs");
  return 0;
}
