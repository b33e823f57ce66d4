#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/content/Adler32.h"
#include "engine/content/TTorrent.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

using testing::MapSpec;
using testing::PieceMapFixture;

constexpr int kUnit = kBlockSize;
constexpr int kChunk = TPiece::kMaxChunk;
// Pieces: 0 and 2 wholly in one file, 1 spans both files, 3 is short (113568 bytes).
const MapSpec kSpec{{300000, 600000}, 262144};

TTorrent::InfoHash HashOf(uint8_t seed) {
  TTorrent::InfoHash hash;
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(seed + i * 7);
  return hash;
}

std::vector<int> HeldPieces(const TPieces& map) {
  std::vector<int> held;
  for (int64_t i = 0; i < map.pieceCount; ++i)
    if (map.IsHeld(i)) held.push_back(static_cast<int>(i));
  return held;
}

// A task's piece map over the fixture's files, with the torrent identity and
// resume paths a task gives it.
struct Task {
  Task(PieceMapFixture& fixture, const std::string& record, uint8_t hashSeed = 1)
      : fx(fixture), map(fixture.Map(kSpec)) {
    torrent.SetTemplateIdentity(HashOf(hashSeed), "", "");
    map->torrent = &torrent;
    map->resumeRecord = record;
    map->partialsPath = PartialsPath();
    map->checkProgress = [this](int64_t) { ++hashReads; };
  }
  std::string PartialsPath() const { return (fx.dir / "task.pfinfodf").string(); }

  // Hands units [from, to) of a piece to the map as received blocks; the last result.
  int Feed(int piece, int from, int to) {
    int result = 0;
    TPiece& p = *map->Piece(piece);
    for (int unit = from; unit < to; ++unit) {
      const int offset = unit * kUnit;
      const int length = std::min(kUnit, p.size - offset);
      result = p.Receive(reinterpret_cast<const uint8_t*>(fx.content.data()) + map->PieceStart(piece) + offset,
                         length, offset, nullptr)
                   .result;
    }
    return result;
  }

  // The last non-empty resume record published to the owner.
  std::string PublishedRecord() const {
    for (size_t i = fx.sink.events.size(); i-- > 0;)
      if (fx.sink.events[i].code == PieceEvent::kResumeRecord && !fx.sink.payloads[i].empty())
        return fx.sink.payloads[i];
    return {};
  }

  PieceMapFixture& fx;
  TTorrent torrent;
  RefPtr<TPieces> map;
  int hashReads = 0;
};

// A first run that stops half-way: piece 0 verified on disk, pieces 1 and 2
// with their first chunk streamed to disk (running hash) and some blocks in
// memory, piece 3 with blocks in memory only. Returns the published record
// and leaves the partial-pieces file.
std::string StoppedRun(PieceMapFixture& fx) {
  Task first(fx, "");
  EXPECT_TRUE(first.map->BuildPieces(nullptr));
  first.Feed(0, 0, 16);
  first.Feed(1, 0, 8);
  EXPECT_EQ(first.map->Piece(1)->Flush(kChunk), kChunk);
  first.Feed(1, 8, 10);
  first.Feed(2, 0, 8);
  EXPECT_EQ(first.map->Piece(2)->Flush(kChunk), kChunk);
  first.Feed(2, 8, 9);
  first.Feed(3, 0, 2);
  first.map->CloseFiles(false, true);  // writes piece 0
  EXPECT_EQ(HeldPieces(*first.map), std::vector<int>{0});
  first.map->SaveResume();
  EXPECT_TRUE(first.map->SavePartials());
  for (auto& entry : first.map->files) EXPECT_FALSE(entry->writtenSinceSync) << "synced before the record";
  return first.PublishedRecord();
}

void ExpectHashedFallback(Task& task) {
  EXPECT_GT(task.hashReads, 0) << "the files were hashed";
  EXPECT_EQ(HeldPieces(*task.map), std::vector<int>{0}) << "exactly the pieces that verify on disk";
  for (auto& piece : task.map->piecesArray) {
    EXPECT_EQ(piece->RunningHash(), nullptr) << "piece " << piece->index;
    EXPECT_EQ(piece->BufferedBytes(), 0) << "piece " << piece->index;
  }
}

TEST(TPiecesResume, RestartResumesHeldAndHalfReceivedPiecesWithoutHashing) {
  PieceMapFixture fx("resume-roundtrip");
  const std::string record = StoppedRun(fx);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record.compare(0, 11, "d8:infohash"), 0);

  Task second(fx, record);
  ASSERT_TRUE(second.map->BuildPieces(nullptr));
  EXPECT_EQ(second.hashReads, 0) << "a matching record spares the hashing";
  EXPECT_EQ(HeldPieces(*second.map), std::vector<int>{0});
  EXPECT_EQ(second.map->checkedBytes, second.map->totalLength);
  TPiece& p1 = *second.map->Piece(1);
  TPiece& p2 = *second.map->Piece(2);
  TPiece& p3 = *second.map->Piece(3);
  EXPECT_EQ(p1.flushed, kChunk);
  EXPECT_NE(p1.RunningHash(), nullptr);
  EXPECT_EQ(p1.BufferedBytes(), 2 * kUnit);
  EXPECT_EQ(p2.flushed, kChunk);
  EXPECT_EQ(p2.BufferedBytes(), kUnit);
  EXPECT_EQ(p3.flushed, 0);
  EXPECT_EQ(p3.BufferedBytes(), 2 * kUnit);

  // Completing the restored pieces passes their checks: the running hash
  // carries on from the saved context.
  EXPECT_GE(second.Feed(1, 10, 16), 0);
  EXPECT_GE(second.Feed(2, 9, 16), 0);
  EXPECT_GE(second.Feed(3, 2, 7), 0);
  EXPECT_TRUE(p1.complete && p2.complete && p3.complete);
  second.map->CloseFiles(false, true);
  EXPECT_EQ(HeldPieces(*second.map), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(fx.ReadFile(fx.Path(0)) + fx.ReadFile(fx.Path(1)), fx.content);
  second.map->SavePartials();
  EXPECT_FALSE(std::filesystem::exists(second.PartialsPath())) << "a complete task keeps no partial pieces";
}

// Cuts the first "<marker>...e" out of the record (marker included).
void EraseFirst(std::string& record, const std::string& marker) {
  const size_t at = record.find(marker);
  ASSERT_NE(at, std::string::npos) << marker;
  record.erase(at, record.find('e', at + marker.size()) + 1 - at);
}

TEST(TPiecesResume, RecordThatDoesNotCheckOutFallsBackToHashing) {
  struct Case {
    const char* name;
    std::function<void(PieceMapFixture&, std::string&)> spoil;
    uint8_t hashSeed = 1;
  };
  const Case cases[] = {
      {"another torrent's info-hash", [](PieceMapFixture&, std::string&) {}, 2},
      {"garbage bytes", [](PieceMapFixture&, std::string& r) { r = "\x01garbage\xff"; }},
      {"truncated record", [](PieceMapFixture&, std::string& r) { r.resize(r.size() / 2); }},
      {"file one byte longer",
       [](PieceMapFixture& fx, std::string&) { std::ofstream(fx.Path(0) + ".pftmp", std::ios::app) << 'x'; }},
      {"file one byte shorter",
       [](PieceMapFixture& fx, std::string&) { std::filesystem::resize_file(fx.Path(0) + ".pftmp", 299999); }},
      {"file gone",
       [](PieceMapFixture& fx, std::string&) { std::filesystem::remove(fx.Path(1) + ".pftmp"); }},
      {"no Low/High/Size block", [](PieceMapFixture&, std::string& r) { EraseFirst(r, "3:Lowi"); }},
      {"bitfield of the wrong length",
       [](PieceMapFixture&, std::string& r) {
         const size_t at = r.find("8:BitField1:");
         ASSERT_NE(at, std::string::npos);
         r.replace(at, 13, "8:BitField2:\xff\xff");
       }},
      {"no bitfield", [](PieceMapFixture&, std::string& r) { r.erase(r.find("8:BitField"), 14); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PieceMapFixture fx("resume-bad");
    std::string record = StoppedRun(fx);
    c.spoil(fx, record);
    Task task(fx, record, c.hashSeed);
    task.map->BuildPieces(nullptr);
    ExpectHashedFallback(task);
  }
}

TEST(TPiecesResume, RecordWithoutInfoHashOrWithRenamedFileStillLoads) {
  PieceMapFixture fx("resume-renamed");
  std::string record = StoppedRun(fx);
  record.erase(1, std::string("8:infohash20:").size() + 20);
  // The file reached its final name after the record was saved.
  std::filesystem::rename(fx.Path(0) + ".pftmp", fx.Path(0));
  Task task(fx, record);
  ASSERT_TRUE(task.map->BuildPieces(nullptr));
  EXPECT_EQ(task.hashReads, 0);
  EXPECT_EQ(HeldPieces(*task.map), std::vector<int>{0});
  EXPECT_EQ(task.map->files[0]->path, fx.Path(0));
}

TEST(TPiecesResume, BadPieceStatusEntryIsSkippedAndTheOthersLoad) {
  PieceMapFixture fx("resume-crc");
  std::string record = StoppedRun(fx);
  // Bump the first CRC32 (piece 1's entry).
  const size_t at = record.find("5:CRC32i") + 8;
  const size_t end = record.find('e', at);
  record.replace(at, end - at, std::to_string(std::stoll(record.substr(at, end - at)) + 1));

  Task task(fx, record);
  ASSERT_TRUE(task.map->BuildPieces(nullptr));
  EXPECT_EQ(task.hashReads, 0) << "a bad entry does not spoil the record";
  EXPECT_EQ(HeldPieces(*task.map), std::vector<int>{0});
  EXPECT_EQ(task.map->Piece(1)->RunningHash(), nullptr);
  EXPECT_EQ(task.map->Piece(1)->flushed, 0);
  EXPECT_NE(task.map->Piece(2)->RunningHash(), nullptr);
  EXPECT_EQ(task.map->Piece(2)->flushed, kChunk);
  // Piece 1 starts over from nothing and still verifies.
  EXPECT_GE(task.Feed(1, 0, 16), 0);
  EXPECT_TRUE(task.map->Piece(1)->complete);
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// Offsets of the records in a partial-pieces file.
std::vector<size_t> RecordOffsets(const std::string& file) {
  std::vector<size_t> offsets;
  for (size_t at = 0; at + 16 <= file.size(); at += 16 + Le32(file, at)) offsets.push_back(at);
  return offsets;
}

TEST(TPiecesResume, PartialPiecesFileLoadsRecordsUpToTheFirstBadOne) {
  PieceMapFixture fx("resume-partials");
  const std::string record = StoppedRun(fx);
  const std::string partials = fx.ReadFile((fx.dir / "task.pfinfodf").string());
  const std::vector<size_t> offsets = RecordOffsets(partials);
  ASSERT_EQ(offsets.size(), 3u);
  ASSERT_EQ(Le32(partials, offsets[2] + 8), 3u) << "records in piece order";

  // Without an info-hash in the record, the partial-pieces file is the only
  // thing that could tell another torrent's state apart.
  std::string anonymous = record;
  anonymous.erase(1, std::string("8:infohash20:").size() + 20);

  struct Case {
    const char* name;
    std::string file;
    std::vector<int> restored;  // pieces that got their blocks back
    uint8_t hashSeed = 1;
  };
  std::string flipped = partials;
  flipped[offsets[1] + 40] ^= 1;
  const Case cases[] = {
      {"truncated in the last record", partials.substr(0, partials.size() - 100), {1, 2}},
      {"checksum mismatch in the middle record", flipped, {1}},
      {"written for another torrent", partials, {}, 9},
      {"garbage", std::string(64, '\x7f'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Task task(fx, anonymous, c.hashSeed);
    std::ofstream(task.PartialsPath(), std::ios::binary | std::ios::trunc) << c.file;
    ASSERT_TRUE(task.map->BuildPieces(nullptr));
    EXPECT_EQ(task.hashReads, 0);
    std::vector<int> restored;
    for (auto& piece : task.map->piecesArray)
      if (piece->BufferedBytes() > 0) restored.push_back(piece->index);
    EXPECT_EQ(restored, c.restored);
    EXPECT_EQ(HeldPieces(*task.map), std::vector<int>{0});
  }
}

TEST(TPiecesResume, RestoredBlocksAreCheckedBeforeThePieceCounts) {
  PieceMapFixture fx("resume-tampered");
  const std::string record = StoppedRun(fx);
  std::string partials = fx.ReadFile((fx.dir / "task.pfinfodf").string());
  const std::vector<size_t> offsets = RecordOffsets(partials);
  ASSERT_EQ(offsets.size(), 3u);
  // Change a data byte of piece 3's first block and make the checksum fit, as
  // a file from a damaged disk or another build might.
  const size_t at = offsets[2];
  const uint32_t length = Le32(partials, at);
  partials[at + 16 + 16 + 8 + 5] ^= 0x40;
  const TTorrent::InfoHash hash = HashOf(1);
  const uint32_t seed = Adler32::compute(std::span<const uint8_t>(hash), 3);
  const uint32_t sum = Adler32::compute(std::string_view(partials).substr(at + 16, length), seed);
  std::memcpy(partials.data() + at + 4, &sum, 4);

  Task task(fx, record);
  std::ofstream(task.PartialsPath(), std::ios::binary | std::ios::trunc) << partials;
  ASSERT_TRUE(task.map->BuildPieces(nullptr));
  EXPECT_EQ(task.map->Piece(3)->BufferedBytes(), 2 * kUnit) << "the record itself checks out";
  EXPECT_EQ(task.Feed(3, 2, 7), TPiece::kBadPiece);
  task.map->CloseFiles(false, true);
  EXPECT_FALSE(task.map->IsHeld(3));
}

TEST(TPiecesResume, TemplateSetsUpTrackerHashAndUnhashedPieces) {
  PieceMapFixture fx("template");
  RefPtr<TPieces> map = fx.Map(kSpec);
  map->name = "game.pak";
  TTorrent torrent;
  torrent.SetTargetFile(fx.Path(7));
  const std::string hex = "00112233445566778899AABBCCDDEEFF00112233";
  EXPECT_TRUE(map->ReadTemplate("$Tracker$http$$$host/path$End$$Length$16384$Size$40000$Hash$" + hex, torrent));
  EXPECT_EQ(torrent.Announce(), "http://host/path");
  EXPECT_EQ(torrent.InfoHashHex(), hex);
  EXPECT_EQ(torrent.GetInfoHash()[10], 0xAA);
  EXPECT_EQ(map->pieceCount, 3);
  EXPECT_EQ(map->totalLength, 40000);
  EXPECT_FALSE(map->HasRealHashes());
  ASSERT_EQ(map->files.size(), 1u);
  EXPECT_EQ(map->files[0]->finalPath, map->baseDirectory + "game.pak");
  EXPECT_EQ(map->memoryLimit, 128);

  TTorrent plain;
  EXPECT_TRUE(map->ReadTemplate("$Tracker$$$$x$End$", plain)) << "the template read never fails";
  EXPECT_EQ(plain.Announce(), "$$$x") << "a marker at the start is no scheme separator";
}

}  // namespace
}  // namespace pf
