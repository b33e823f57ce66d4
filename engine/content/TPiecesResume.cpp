// Resume state of the piece map: the resume record and the partial-pieces
// file.
//
// Nothing read back here is trusted beyond what it can prove: a record that
// does not match the files on disk makes the start-up check hash them, and a
// restored half-received piece is checked like a received one before it
// counts as good.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <optional>
#include <set>
#include <span>

#include "engine/content/Adler32.h"
#include "engine/content/AtomicFileWriter.h"
#include "engine/content/Bencode.h"
#include "engine/content/TPieces.h"
#include "engine/content/TTorrent.h"
#include "engine/base/EngineLocks.h"
#include "platform/FileSystem.h"

namespace pf {

namespace {

constexpr int kRecordHeader = 16;    // L, checksum, piece index, 0
constexpr int kPieceHeader = 16;     // buffered, flushed, unit count, 0
constexpr int kUnitRecord = 16400;   // offset, length, 16384 bytes, 8 zero bytes
constexpr int kMaxUnitsPerPiece = 512;
constexpr size_t kWriteBuffer = 1179648;
constexpr size_t kFlushAbove = 1048575;
constexpr size_t kDirectWrite = 1048576;  // longer piece records bypass the buffer
constexpr int64_t kRecordSlack = 1048576;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void AppendLe32(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out.append(bytes, 4);
}

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

uint32_t ContextChecksum(std::span<const uint8_t> context, int64_t index) {
  return Adler32::compute(context, static_cast<uint32_t>(index));
}

uint32_t PartialChecksum(const TTorrent::InfoHash& infoHash, uint32_t index,
                         std::span<const uint8_t> record) {
  return Adler32::compute(record, Adler32::compute(std::span<const uint8_t>(infoHash), index));
}

bool IsKey(const QElement* element, std::string_view key, bool withInteger) {
  return element && element->Kind() == QElement::kKindText && HasInteger(element) == withInteger &&
         LocalText(element) == key;
}

// The element after a key that carries no integer; the record's own layout is
// not a plain key/value dictionary, so lookups go by text.
QElement* ValueAfter(QElement& root, std::string_view key) {
  QElement* found = root.FindText(key.data(), static_cast<int>(key.size()));
  if (!found || HasInteger(found)) return nullptr;
  return root.NextSibling(found);
}

// A file's key in the record: the exact path first, then one differing only
// in letter case.
QElement* FindPathKey(const QElement& root, const std::string& path) {
  QElement* caseless = nullptr;
  for (int i = 0; i < root.Count(); ++i) {
    QElement* child = root.ChildAt(i);
    if (!child || child->Kind() != QElement::kKindText || HasInteger(child)) continue;
    const std::string_view text = TextBytes(child);
    if (text == path) return child;
    if (!caseless && text.size() == path.size() &&
        std::equal(text.begin(), text.end(), path.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      caseless = child;
  }
  return caseless;
}

// Makes every file written since the last sync durable. False when any could
// not be synced: then nothing may claim its bytes.
bool SyncWrittenFiles(std::vector<std::unique_ptr<TFileEntry>>& files) {
  bool all = true;
  for (auto& entry : files) {
    if (!entry || !entry->writtenSinceSync) continue;
    const bool synced =
        entry->file.IsOpen() ? entry->file.Sync() : platform::SyncPath(entry->path.c_str());
    // A new or renamed file also needs its directory entry on disk.
    if (synced && platform::SyncParentDirectory(entry->path.c_str()))
      entry->writtenSinceSync = 0;
    else
      all = false;
  }
  return all;
}

}  // namespace

void TPieces::SaveResume() {
  if (!owner || files.empty() || piecesArray.empty()) return;
  // A record must never claim bytes that a crash could still lose. Pieces
  // found by hashing were not written by us, so the first record syncs all.
  if (!resumeSyncedAll) {
    for (auto& entry : files)
      if (entry && !entry->path.empty() && FileExists(entry->path)) entry->writtenSinceSync = 1;
    resumeSyncedAll = 1;
  }
  const bool durable = SyncWrittenFiles(files);

  auto record = NewDictionary();
  if (torrent) {
    const TTorrent::InfoHash& hash = torrent->GetInfoHash();
    record->AppendText("infohash", -1, 0, false);
    record->AppendText(reinterpret_cast<const char*>(hash.data()), static_cast<int>(hash.size()), 0, false);
  }
  int listed = 0;
  for (auto& entry : files) {
    if (!entry || entry->path.empty()) break;
    entry->file.Close();
    uint64_t time = 0;
    int64_t size = -1;
    TFileHandle probe;
    if (probe.Open(entry->path, true)) {
      if (!platform::LastWriteTime(entry->path.c_str(), &time)) break;
      size = probe.Size();
      probe.Close();
    }
    record->AppendText(entry->path.data(), static_cast<int>(entry->path.size()), 0, false);
    record->AppendText("Low", -1, static_cast<int64_t>(time & 0xFFFFFFFFu), true);
    record->AppendText("High", -1, static_cast<int64_t>(time >> 32), true);
    record->AppendText("Size", -1, size, true);
    record->AppendText("Priority", -1, entry->priority, true);
    ++listed;
  }
  // Without the piece list and bitfield the record never loads, which is the
  // right outcome when the written bytes could not be made durable.
  if (listed > 0 && durable) {
    auto status = NewList();
    for (auto& piece : piecesArray) {
      if (IsHeld(piece->index) || piece->flushed <= 0 || !piece->RunningHash()) continue;
      const Sha1::Context context = piece->RunningHash()->save();
      auto item = NewDictionary();
      item->AppendText("Index", -1, piece->index, true);
      item->AppendText("Part", -1, piece->flushed, true);
      item->AppendText("Status", -1, 0, true);
      item->AppendText(reinterpret_cast<const char*>(context.data()), static_cast<int>(context.size()), 0,
                       false);
      item->AppendText("CRC32", -1, ContextChecksum(context, piece->index), true);
      status->Append(std::move(item));
    }
    record->AppendText("PieceStatus", -1, 0, false);
    record->Append(std::move(status));
    record->AppendText("BitField", -1, 0, false);
    record->AppendText(reinterpret_cast<const char*>(have.Bytes().data()), static_cast<int>(have.Bytes().size()), 0,
                       false);
  }
  std::string bytes;
  if (!Encode(record.get(), bytes)) return;
  Notify(PieceEvent::Record(PieceEvent::kResumeRecord, bytes));
}

bool TPieces::LoadResume() {
  if (!useResume || !torrent || files.empty() || resumeRecord.empty() || !IsComplete()) return false;
  if (resumeRecord.size() > static_cast<size_t>(INT_MAX)) return false;
  const std::unique_ptr<QElement> root = ParseElement(resumeRecord);
  if (!root || root->Kind() != QElement::kKindDictionary) return false;

  if (const QElement* stored = ValueAfter(*root, "infohash")) {
    const TTorrent::InfoHash& hash = torrent->GetInfoHash();
    if (stored->Kind() == QElement::kKindText && !HasInteger(stored) && TextLength(stored) == 20 &&
        std::memcmp(TextBytes(stored).data(), hash.data(), hash.size()) != 0)
      return false;
  }

  // Everything is checked before anything is changed, so that a record that
  // fails leaves the map as the hashing check expects it.
  std::vector<std::optional<int>> priorities(files.size());
  std::vector<std::pair<int64_t, int64_t>> missingRanges;
  for (size_t i = 0; i < files.size(); ++i) {
    TFileEntry* entry = files[i].get();
    if (!entry || entry->path.empty()) return false;
    entry->file.Close();
    QElement* key = FindPathKey(*root, entry->path);
    // The file may have moved between its temporary and its final name since.
    if (!key && !entry->finalPath.empty()) key = FindPathKey(*root, entry->finalPath);
    if (!key && !entry->usesTempName) key = FindPathKey(*root, entry->path + TFileEntry::kTempExtension);
    if (!key) return false;
    QElement* low = root->NextSibling(key);
    QElement* high = low ? root->NextSibling(low) : nullptr;
    QElement* size = high ? root->NextSibling(high) : nullptr;
    if (!IsKey(low, "Low", true) || !IsKey(high, "High", true) || !IsKey(size, "Size", true)) return false;
    QElement* priority = root->NextSibling(size);
    if (HasRealHashes() && IsKey(priority, "Priority", true) && !entry->IsSkipped()) {
      const int64_t value = IntegerValue(priority);
      if (value >= -2 && value <= 2) priorities[i] = static_cast<int>(value);
    }
    const bool stamped = IntegerValue(low) != 0 || IntegerValue(high) != 0;
    TFileHandle probe;
    if (probe.Open(entry->path, true)) {
      const int64_t onDisk = probe.Size();
      probe.Close();
      if (!stamped || onDisk != IntegerValue(size)) return false;
    } else {
      if (stamped || IntegerValue(size) != -1) return false;
      if (entry->length > 0) missingRanges.emplace_back(entry->offset, entry->offset + entry->length);
    }
  }

  const QElement* bits = ValueAfter(*root, "BitField");
  if (!bits || bits->Kind() != QElement::kKindText || HasInteger(bits) ||
      TextLength(bits) != static_cast<int>(have.Bytes().size()))
    return false;
  const std::string_view bitField = TextBytes(bits);
  const BitfieldView stored(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bitField.data()), bitField.size()));
  auto bitSet = [&](int64_t index) { return stored.Test(index); };
  // A piece cannot be held in a file that is not there.
  for (const auto& [from, to] : missingRanges)
    for (int64_t index = from / pieceLength; index < pieceCount && PieceStart(static_cast<int>(index)) < to;
         ++index)
      if (bitSet(index)) return false;

  struct Partial {
    TPiece* piece;
    int flushed;
    std::unique_ptr<Sha1> hash;
  };
  std::vector<Partial> partials;
  std::set<int64_t> seen;
  QElement* status = ValueAfter(*root, "PieceStatus");
  const int entries = status && status->Kind() == QElement::kKindList ? status->Count() : 0;
  for (int i = 0; i < entries; ++i) {
    QElement* item = status->ChildAt(i);
    if (!item || item->Kind() != QElement::kKindDictionary) continue;
    const QElement* index = item->ChildAt(0);
    const QElement* part = item->ChildAt(1);
    const QElement* state = item->ChildAt(2);
    const QElement* context = item->ChildAt(3);
    if (!IsKey(index, "Index", true) || !IsKey(part, "Part", true) || !IsKey(state, "Status", true)) continue;
    if (!context || context->Kind() != QElement::kKindText || TextLength(context) < 104) continue;
    const int64_t pieceIndex = IntegerValue(index);
    if (!IsValidPiece(pieceIndex) || bitSet(pieceIndex) || !seen.insert(pieceIndex).second) continue;
    const auto contextBytes = AsBytes(TextBytes(context)).first(Sha1::kContextSize);
    const QElement* crc = item->FindText("CRC32", 5);
    if (!crc || !HasInteger(crc) || IntegerValue(crc) != ContextChecksum(contextBytes, pieceIndex)) continue;
    TPiece* piece = Piece(pieceIndex);
    const int64_t flushed = IntegerValue(part);
    // Streaming writes whole chunks only; any other count cannot be ours.
    if (flushed <= 0 || flushed >= piece->size || flushed % piece->ChunkSize() != 0) continue;
    auto hash = std::make_unique<Sha1>();
    if (!hash->restore(contextBytes) || hash->computed() || hash->corrupted()) continue;
    // The context must have seen exactly the flushed bytes.
    const uint64_t bitsHashed = ReadLe32(contextBytes.data() + 20) |
                                static_cast<uint64_t>(ReadLe32(contextBytes.data() + 24)) << 32;
    if (HasRealHashes() && bitsHashed != static_cast<uint64_t>(flushed) * 8) continue;
    partials.push_back({piece, static_cast<int>(flushed), std::move(hash)});
  }

  for (size_t i = 0; i < files.size(); ++i)
    if (priorities[i]) files[i]->priority = *priorities[i];
  for (int64_t index = 0; index < pieceCount; ++index) MarkHeld(index, bitSet(index));
  doneBytes = 0;
  for (int64_t index = 0; index < pieceCount; ++index)
    if (IsHeld(index)) doneBytes += Piece(index)->size;
  for (Partial& partial : partials) {
    partial.piece->flushed = partial.flushed;
    partial.piece->SetRunningHash(std::move(partial.hash));
    activePieces.insert(partial.piece);
  }
  checkedBytes = totalLength;
  if (doneBytes > totalLength) return false;
  LoadPartials();
  Notify(PieceEvent::Of(PieceEvent::kPublish));
  return true;
}

bool TPieces::SavePartials() {
  if (partialsPath.empty() || !torrent || !CheckFinished()) return false;
  if (TaskComplete()) return platform::RemoveFile(partialsPath.c_str());
  SyncWrittenFiles(files);
  MakeDirectories(partialsPath);

  AtomicFileWriter out(partialsPath);
  if (!out.Open()) return false;
  const TTorrent::InfoHash& infoHash = torrent->GetInfoHash();
  std::string buffer;
  buffer.reserve(kWriteBuffer);
  auto write = [&](const std::string& bytes) {
    ScopedLock lock(&StorageLock());
    return out.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  };

  std::string record;
  std::vector<uint8_t> unit(kBlockSize);
  for (auto& owned : piecesArray) {
    TPiece& piece = *owned;
    if (IsHeld(piece.index) || piece.BufferedBytes() <= 0 || piece.ChunkSize() < kBlockSize) continue;
    record.assign(kPieceHeader, '\0');
    uint32_t units = 0;
    for (int offset : piece.Units()) {
      if (offset < piece.flushed) continue;
      if (units == kMaxUnitsPerPiece) break;
      const int end = std::min(offset + kBlockSize, piece.size);
      std::fill(unit.begin(), unit.end(), 0);
      if (!piece.CopyOut(unit.data(), offset, end)) continue;
      AppendLe32(record, static_cast<uint32_t>(offset));
      AppendLe32(record, kBlockSize);
      record.append(reinterpret_cast<const char*>(unit.data()), unit.size());
      record.append(8, '\0');
      ++units;
    }
    if (units == 0) continue;
    std::string header;
    AppendLe32(header, static_cast<uint32_t>(piece.BufferedBytes()));
    AppendLe32(header, static_cast<uint32_t>(piece.flushed));
    AppendLe32(header, units);
    AppendLe32(header, 0);
    record.replace(0, kPieceHeader, header);

    std::string front;
    AppendLe32(front, static_cast<uint32_t>(record.size()));
    AppendLe32(front, PartialChecksum(infoHash, static_cast<uint32_t>(piece.index), AsBytes(record)));
    AppendLe32(front, static_cast<uint32_t>(piece.index));
    AppendLe32(front, 0);
    if (record.size() < kDirectWrite) {
      buffer += front;
      buffer += record;
      if (buffer.size() > kFlushAbove) {
        if (!write(buffer)) return false;  // the old file stays
        buffer.clear();
      }
    } else {
      if (!buffer.empty() && !write(buffer)) return false;
      buffer.clear();
      if (!write(front) || !write(record)) return false;
    }
  }
  if (!buffer.empty() && !write(buffer)) return false;
  return out.Commit();
}

bool TPieces::LoadPartials() {
  if (!IsComplete() || partialsPath.empty() || !torrent) return false;
  if (TaskComplete()) {
    platform::RemoveFile(partialsPath.c_str());
    return true;
  }
  TFileHandle in;
  in.openFlags = TFileHandle::kSequentialScan;
  if (!in.Open(partialsPath, true)) return false;
  const TTorrent::InfoHash& infoHash = torrent->GetInfoHash();

  std::vector<uint8_t> record;
  int64_t position = 0;
  for (;;) {
    uint8_t header[kRecordHeader];
    if (in.ReadAt(header, kRecordHeader, position) != kRecordHeader) break;
    const int64_t length = ReadLe32(header);
    const uint32_t checksum = ReadLe32(header + 4);
    const uint32_t index = ReadLe32(header + 8);
    if (length < 1 || length >= int64_t{pieceLength} + kRecordSlack || !IsValidPiece(index)) break;
    record.resize(static_cast<size_t>(length));
    if (in.ReadAt(record.data(), length, position + kRecordHeader) != length) break;
    if (PartialChecksum(infoHash, index, record) != checksum) break;
    position += kRecordHeader + length;

    TPiece& piece = *Piece(index);
    if (IsHeld(index) || piece.notWanted) continue;
    if (length < kPieceHeader) continue;
    const uint32_t flushed = ReadLe32(record.data() + 4);
    const uint32_t units = ReadLe32(record.data() + 8);
    if (units > kMaxUnitsPerPiece || length != kPieceHeader + int64_t{units} * kUnitRecord) continue;
    // Restored once; a later record for the same piece is not mixed in.
    if (piece.BufferedBytes() > 0 || piece.complete) continue;
    if (static_cast<int64_t>(flushed) != piece.flushed) {
      // Saved at another time than the resume record: the two do not belong together.
      piece.Reset();
      break;
    }
    // Bytes after `flushed` can only be checked with the hash of the bytes
    // before them.
    if (piece.flushed > 0 && !piece.RunningHash()) continue;
    bool usable = piece.ChunkSize() >= kBlockSize;
    for (uint32_t u = 0; u < units && usable; ++u) {
      const uint8_t* at = record.data() + kPieceHeader + static_cast<size_t>(u) * kUnitRecord;
      const int64_t offset = ReadLe32(at);
      usable = ReadLe32(at + 4) == static_cast<uint32_t>(kBlockSize) && offset >= piece.flushed &&
               offset < piece.size && offset % kBlockSize == 0;
    }
    if (!usable || units == 0) continue;
    for (uint32_t u = 0; u < units; ++u) {
      const uint8_t* at = record.data() + kPieceHeader + static_cast<size_t>(u) * kUnitRecord;
      const int offset = static_cast<int>(ReadLe32(at));
      piece.StoreUnits(at + 8, offset, std::min(offset + kBlockSize, piece.size));
    }
    piece.lastActivity = 0;
    // A piece that is whole again gets the same check as one just received.
    if (piece.BufferedBytes() + piece.flushed >= piece.size) piece.CheckBufferedWhole();
  }
  return true;
}

bool TPieces::ReadTemplate(const std::string& link, TTorrent& target) {
  auto after = [&](std::string_view marker) {
    const size_t at = link.find(marker);
    return at == std::string::npos ? at : at + marker.size();
  };
  auto number = [&](size_t at) -> int64_t {
    if (at == std::string::npos) return 0;
    bool negative = false;
    if (at < link.size() && link[at] == '-') {
      negative = true;
      ++at;
    }
    int64_t value = 0;
    for (; at < link.size() && link[at] >= '0' && link[at] <= '9'; ++at) {
      value = value * 10 + (link[at] - '0');
      if (value > INT32_MAX) return 0;  // not a 32-bit value: no usable size
    }
    return negative ? -value : value;
  };
  auto hexDigit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
  };

  TTorrent::InfoHash hash{};
  std::string hex;
  const size_t hashAt = after("$Hash$");
  if (hashAt != std::string::npos && link.size() - hashAt >= 40) {
    hex = link.substr(hashAt, 40);
    for (size_t i = 0; i < hash.size(); ++i)
      hash[i] = static_cast<uint8_t>(hexDigit(hex[2 * i]) << 4 | hexDigit(hex[2 * i + 1]));
  }
  std::string tracker;
  const size_t trackerAt = after("$Tracker$");
  const size_t endAt = link.find("$End$");
  if (trackerAt != std::string::npos && endAt != std::string::npos && endAt >= trackerAt) {
    tracker = link.substr(trackerAt, endAt - trackerAt);
    const size_t scheme = tracker.find("$$$");
    if (scheme != std::string::npos && scheme > 0) tracker.replace(scheme, 3, "://");
  }
  target.SetTemplateIdentity(hash, std::move(hex), std::move(tracker));

  const int64_t size = number(after("$Size$"));
  const int64_t length = number(after("$Length$"));
  std::vector<std::unique_ptr<TFileEntry>> entries;
  if (size > 0) {
    auto entry = std::make_unique<TFileEntry>();
    const std::string path = target.TargetFile().empty() ? std::string("001.pfinfo") : baseDirectory + name;
    entry->Construct(path, name, size, 0);
    entry->offset = 0;
    entry->SetUpTempName();
    entries.push_back(std::move(entry));
  }
  // Template content has no piece hashes: its pieces count as good once whole.
  SetContent(name, std::max<int64_t>(size, 0), static_cast<int>(std::max<int64_t>(length, 0)), std::string(),
             std::move(entries), false);
  for (auto& entry : files) entry->SetPieceSpan(pieceLength);
  checkedBytes = wantedBytes = totalLength;
  wantedPieces = pieceCount;
  memoryLimit = 128;
  sizesOnlyCheck = 1;
  StampChange();
  if (totalLength > 0 && pieceLength > 0) BuildPieces(nullptr);
  return true;
}

}  // namespace pf
