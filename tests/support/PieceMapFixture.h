#pragma once
// Builds piece maps over real files in a temporary folder, with content the
// test chooses, and records what the map tells its owner.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/content/PieceEvent.h"
#include "engine/content/Sha1.h"
#include "engine/content/TPieceSource.h"
#include "engine/content/TPieces.h"

namespace pf::testing {

class RecordingSink : public PieceEventSink {
 public:
  void OnPieceEvent(const PieceEvent& event) override {
    events.push_back(event);
    // Data pointers live only during the call.
    payloads.emplace_back(event.bytes);
  }
  bool IsStopping() override { return stopping; }
  int Count(int code) const {
    int n = 0;
    for (const auto& e : events) n += e.code == code ? 1 : 0;
    return n;
  }
  std::vector<PieceEvent> events;
  std::vector<std::string> payloads;
  bool stopping = false;
};

class TestSource : public TPieceSource {
 public:
  explicit TestSource(int kind) : kind_(kind) {}
  int SourceKind() const override { return kind_; }
  std::string AddressText() const override { return "http://127.0.0.1:8080/data.pak"; }
  uint32_t Ipv4() const override { return 0x7F000001; }
  uint16_t Port() const override { return 6881; }
  void AddScore(int amount) override { score += amount; }
  void AddBadPiece() override { ++badPieces; }
  void ClearBadPieces() override { badPieces = 0; }
  void OnBadPiece() override { ++lateBadPieces; }
  int score = 0;
  int badPieces = 0;
  int lateBadPieces = 0;

 private:
  int kind_;
};

// Deterministic bytes for the whole byte stream of a map.
inline std::string StreamBytes(int64_t length, uint32_t seed = 1) {
  std::string bytes(static_cast<size_t>(length), '\0');
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

struct MapSpec {
  std::vector<int64_t> fileLengths;
  int pieceLength;
};

class PieceMapFixture {
 public:
  explicit PieceMapFixture(const std::string& tag) {
    dir = std::filesystem::temp_directory_path() / ("pfmap-" + std::to_string(::getpid()) + "-" + tag);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~PieceMapFixture() { std::filesystem::remove_all(dir); }

  // A map over files "f0", "f1", ... in the folder; not yet built.
  RefPtr<TPieces> Map(const MapSpec& spec, uint32_t seed = 1) {
    int64_t total = 0;
    for (int64_t length : spec.fileLengths) total += length;
    content = StreamBytes(total, seed);
    std::string hashes;
    for (int64_t start = 0; start < total; start += spec.pieceLength) {
      const auto digest = Sha1::hash(content.data() + start,
                                     static_cast<size_t>(std::min<int64_t>(spec.pieceLength, total - start)));
      hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    std::vector<std::unique_ptr<TFileEntry>> files;
    int64_t offset = 0;
    for (size_t i = 0; i < spec.fileLengths.size(); ++i) {
      auto entry = std::make_unique<TFileEntry>();
      entry->Construct(Path(i), "f" + std::to_string(i), spec.fileLengths[i], static_cast<int>(i));
      entry->offset = offset;
      entry->SetUpTempName();
      offset += spec.fileLengths[i];
      files.push_back(std::move(entry));
    }
    auto map = RefPtr<TPieces>::Make(&sink);
    map->baseDirectory = dir.string() + "/";
    map->SetContent("test", total, spec.pieceLength, hashes, std::move(files), true);
    return map;
  }

  std::string Path(size_t file) const { return (dir / ("f" + std::to_string(file))).string(); }

  // Writes file i with its true content (or all files) at the final name.
  void WriteFile(size_t file, const MapSpec& spec) {
    int64_t offset = 0;
    for (size_t i = 0; i < file; ++i) offset += spec.fileLengths[i];
    std::ofstream out(Path(file), std::ios::binary);
    out.write(content.data() + offset, static_cast<std::streamsize>(spec.fileLengths[file]));
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::filesystem::path dir;
  std::string content;
  RecordingSink sink;
};

}  // namespace pf::testing
