// Feeds arbitrary bytes to a small piece map as its resume record and its
// partial-pieces file (and to the task state file reader). Whatever the bytes,
// the map's counters must agree with its bitmap, a record that is refused must
// leave exactly the pieces that verify on disk, and restored pieces must take
// further blocks without harm.
//
// Input: two bytes giving the record's length, the record, then the
// partial-pieces file. The map's files are "f0" and "f1" in a scratch folder
// that becomes the working directory, so records can name them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/content/PieceEvent.h"
#include "engine/content/Sha1.h"
#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"
#include "engine/content/TaskStateFile.h"

namespace {

constexpr int kPieceLength = 262144;
constexpr int64_t kFileLengths[] = {200000, 100000};
constexpr int64_t kTotal = 300000;

class Sink : public pf::PieceEventSink {
 public:
  void OnPieceEvent(const pf::PieceEvent&) override {}
  bool IsStopping() override { return false; }
};

std::string content;     // what the files should hold
std::string hashes;      // of `content`
std::string onDisk;      // what they do hold: piece 1 is damaged
pf::TTorrent::InfoHash infoHash;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "resume fuzz check failed: %s\n", what);
    std::abort();
  }
}

bool VerifiesOnDisk(int64_t index) {
  const int64_t start = index * kPieceLength;
  const int64_t size = std::min<int64_t>(kPieceLength, kTotal - start);
  const auto digest = pf::Sha1::hash(onDisk.data() + start, static_cast<size_t>(size));
  return hashes.compare(static_cast<size_t>(index * 20), 20, reinterpret_cast<const char*>(digest.data()), 20) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const auto dir = std::filesystem::temp_directory_path() / "pf-fuzz-resume";
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  content.resize(kTotal);
  uint32_t x = 12345;
  for (char& c : content) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  for (int64_t start = 0; start < kTotal; start += kPieceLength) {
    const auto digest = pf::Sha1::hash(content.data() + start,
                                       static_cast<size_t>(std::min<int64_t>(kPieceLength, kTotal - start)));
    hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  onDisk = content;
  onDisk[kTotal - 10] ^= 1;
  std::ofstream("f0", std::ios::binary).write(onDisk.data(), kFileLengths[0]);
  std::ofstream("f1", std::ios::binary).write(onDisk.data() + kFileLengths[0], kFileLengths[1]);
  for (size_t i = 0; i < infoHash.size(); ++i) infoHash[i] = 0x11;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1 << 22)) return 0;
  const size_t split = std::min<size_t>(size - 2, static_cast<size_t>(data[0] | data[1] << 8));
  const std::string record(reinterpret_cast<const char*>(data) + 2, split);
  const std::string partials(reinterpret_cast<const char*>(data) + 2 + split, size - 2 - split);
  std::ofstream("task.pfinfodf", std::ios::binary | std::ios::trunc) << partials;

  {
    std::ofstream("task.pfinfo", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    pf::TaskStateStrings state;
    if (pf::TaskStateFile::Read("task.pfinfo", state))
      for (const std::string* value : {&state.torrent, &state.part, &state.bits, &state.seeds})
        Check(value->empty() || value->size() > 2, "a placeholder value was taken");
  }

  Sink sink;
  pf::TTorrent torrent;
  torrent.SetTemplateIdentity(infoHash, "", "");
  std::vector<std::unique_ptr<pf::TFileEntry>> files;
  int64_t offset = 0;
  for (int i = 0; i < 2; ++i) {
    auto entry = std::make_unique<pf::TFileEntry>();
    entry->Construct("f" + std::to_string(i), "f" + std::to_string(i), kFileLengths[i], i);
    entry->offset = offset;
    entry->SetUpTempName();
    offset += kFileLengths[i];
    files.push_back(std::move(entry));
  }
  auto map = pf::RefPtr<pf::TPieces>::Make(&sink);
  map->SetContent("fuzz", kTotal, kPieceLength, hashes, std::move(files), true);
  map->torrent = &torrent;
  map->resumeRecord = record;
  map->partialsPath = "task.pfinfodf";
  bool hashed = false;
  map->checkProgress = [&](int64_t) { hashed = true; };
  Check(map->BuildPieces(nullptr), "the start-up check failed");

  int64_t done = 0;
  for (int64_t i = 0; i < map->pieceCount; ++i) {
    if (map->IsHeld(i)) done += map->Piece(i)->size;
    // A refused record leaves the hashing's verdict, and that is the truth.
    if (hashed) Check(map->IsHeld(i) == VerifiesOnDisk(i), "held pieces differ from the disk");
  }
  Check(done == map->doneBytes && done <= map->totalLength, "held bytes do not add up");
  Check(map->checkedBytes == map->totalLength, "the check did not finish");

  // Restored pieces take the rest of their blocks; a piece that completes has
  // passed its hash, so its bytes are the right ones.
  for (auto& owned : map->piecesArray) {
    pf::TPiece& piece = *owned;
    Check(piece.BufferedBytes() + piece.flushed <= piece.size + pf::TPiece::kBlockUnit, "more buffered than fits");
    if (map->IsHeld(piece.index) || (piece.BufferedBytes() == 0 && piece.flushed == 0)) continue;
    const int64_t start = map->PieceStart(piece.index);
    for (int at = piece.flushed; at < piece.size && !piece.complete; at += pf::TPiece::kBlockUnit) {
      if (piece.HasUnit(at)) continue;
      const int length = std::min(pf::TPiece::kBlockUnit, piece.size - at);
      if (piece.Receive(reinterpret_cast<const uint8_t*>(content.data()) + start + at, length, at, nullptr).result ==
          pf::TPiece::kBadPiece)
        break;
    }
  }
  return 0;
}
