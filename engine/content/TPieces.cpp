#include "engine/content/TPieces.h"

#include <algorithm>
#include <cstring>

#include "engine/content/Bencode.h"
#include "engine/content/LocalCodePage.h"
#include "engine/content/QDictionaryElement.h"
#include "engine/content/QListElement.h"
#include "engine/content/TTorrent.h"
#include "engine/base/EngineLocks.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace pf {

TPieces::TPieces(PieceEventSink* sink) : owner(sink) {}

TPieces::~TPieces() {
  hasher.reset();  // checks in flight own their bytes; their verdicts are not needed
  CloseAllFiles();
  // Pieces give their buffers back before the files and the map go.
  piecesArray.clear();
}

void TPieces::SetContent(std::string torrentName, int64_t total, int length, std::string hashes,
                         std::vector<std::unique_ptr<TFileEntry>> entries, bool realHashes) {
  CloseAllFiles();
  DiscardHashes();
  piecesArray.clear();
  activePieces.clear();
  name = std::move(torrentName);
  totalLength = total;
  pieceLength = length;
  pieceHashes = std::move(hashes);
  files = std::move(entries);
  loading = realHashes ? 1 : 0;
  pieceCount = pieceLength > 0 ? (totalLength + pieceLength - 1) / pieceLength : 0;
  checkedBytes = doneBytes = wantedBytes = wantedPieces = 0;
  finishedPieces = 0;
  cachedBytes = pendingWriteBytes = 0;
  lastCompleted = -1;
}

void TPieces::LoadLayout(const TTorrent& source) {
  std::vector<std::unique_ptr<TFileEntry>> entries;
  for (const TTorrentFile& file : source.Files()) {
    auto entry = std::make_unique<TFileEntry>();
    entry->Construct(file.place.path, file.relativeName, file.length, file.index);
    entry->offset = file.offset;
    if (file.place.usesTempName && !file.place.finalPath.empty()) {
      // A file taken over from an earlier opening keeps its place on disk.
      entry->finalPath = file.place.finalPath;
      entry->usesTempName = 1;
    } else {
      entry->SetUpTempName();
    }
    entries.push_back(std::move(entry));
  }
  SetContent(source.Name(), source.TotalLength(), source.PieceLength(), source.PieceHashes(),
             std::move(entries), true);
}

bool TPieces::Stopping() const { return stopCheck || (owner && owner->IsStopping()); }

void TPieces::Notify(const PieceEvent& event) {
  if (owner) owner->OnPieceEvent(event);
}

int64_t TPieces::CacheSize() const {
  const int64_t size = static_cast<int64_t>(memoryLimit) * kCacheUnit;
  return size > 0 ? size : kCacheUnit;
}

bool TPieces::BuildPieces(TPieces* previous) {
  if (totalLength <= 0 || pieceCount <= 0 || pieceLength <= 0 || files.empty()) return false;
  // Bounded so that a hostile torrent cannot make us allocate without end.
  if (pieceCount > (int64_t{1} << 26)) return false;
  const int64_t slack = pieceCount * pieceLength - totalLength;
  if (slack < 0) return false;
  DiscardHashes();
  piecesArray.clear();
  activePieces.clear();
  int64_t sum = 0;
  if (slack < pieceLength) {
    int64_t remaining = totalLength;
    for (int64_t i = 0; i < pieceCount; ++i) {
      if (remaining <= 0) return false;
      if (loading && static_cast<int64_t>(pieceHashes.size()) < (i + 1) * 20) return false;
      const int size = static_cast<int>(std::min<int64_t>(pieceLength, remaining));
      const auto* hash = loading ? reinterpret_cast<const uint8_t*>(pieceHashes.data()) + i * 20 : nullptr;
      piecesArray.push_back(std::make_unique<TPiece>(this, static_cast<int>(i), size, hash));
      remaining -= size;
      sum += size;
    }
  }
  have.Resize(0);
  have.Resize(pieceCount);
  checkedBytes = doneBytes = 0;
  finishedPieces = 0;
  lastCompleted = -1;
  wantedBytes = totalLength;
  wantedPieces = pieceCount;
  StampChange();
  for (auto& entry : files) entry->SetPieceSpan(pieceLength);
  Notify(PieceEvent::PiecesBuilt(pieceCount));
  if (sum != totalLength) return false;

  ApplyFileSelection();
  if (!StartupCheck(previous)) return false;
  if (!Stopping()) CloseFiles(false, true);
  return !Stopping();
}

bool TPieces::IsComplete() const {
  if (piecesArray.empty() || pieceCount <= 0 || files.empty() || totalLength <= 0 || pieceLength <= 0)
    return false;
  return !loading || !pieceHashes.empty();
}

bool TPieces::IsValidPiece(int64_t index) const {
  return index >= 0 && index < pieceCount && index < static_cast<int64_t>(piecesArray.size()) &&
         piecesArray[static_cast<size_t>(index)] && piecesArray[static_cast<size_t>(index)]->size > 0;
}

bool TPieces::IsHeld(int64_t index) const {
  return IsValidPiece(index) && have.Test(index);
}

bool TPieces::IsWanted(int64_t index) const {
  return IsValidPiece(index) && !piecesArray[static_cast<size_t>(index)]->notWanted && !IsHeld(index);
}

bool TPieces::MarkHeld(int64_t index, bool held) {
  if (!IsValidPiece(index)) return false;
  const bool wasHeld = have.Test(index);
  const TPiece& piece = *piecesArray[static_cast<size_t>(index)];
  // finishedPieces counts pieces that are held or not wanted, each once.
  if (held && !wasHeld) {
    if (!piece.notWanted) ++finishedPieces;
    doneBytes += piece.size;
    lastCompleted = static_cast<int>(index);
    have.Set(index, true);
    StampChange();
  } else if (!held && wasHeld) {
    if (!piece.notWanted) finishedPieces = std::max(finishedPieces - 1, 0);
    doneBytes = std::max<int64_t>(doneBytes - piece.size, 0);
    have.Set(index, false);
    if (lastCompleted == index) lastCompleted = -1;
  } else {
    return false;
  }
  Notify(PieceEvent::PieceHeld(index, held));
  return true;
}

bool TPieces::FilesOfPiece(TPiece& piece, std::vector<TFileEntry*>& list) {
  list.clear();
  const int64_t start = PieceStart(piece.index);
  if (piece.firstFile < 0 || piece.firstFile >= static_cast<int>(files.size())) {
    int64_t position = 0;
    size_t i = 0;
    for (; i < files.size(); ++i) {
      if (!files[i]) return false;
      const int64_t length = files[i]->length;
      if (length > 0 && start < position + length) break;
      position += std::max<int64_t>(length, 0);
    }
    if (i == files.size()) return false;
    piece.firstFile = static_cast<int>(i);
    piece.fileOffset = start - position;
  }
  int64_t gathered = 0;
  for (size_t i = static_cast<size_t>(piece.firstFile); i < files.size() && gathered < piece.size; ++i) {
    TFileEntry* entry = files[i].get();
    if (!entry) return false;
    if (entry->length <= 0) {
      entry->file.Close();
      continue;
    }
    list.push_back(entry);
    gathered += entry->length - (i == static_cast<size_t>(piece.firstFile) ? piece.fileOffset : 0);
  }
  return gathered >= piece.size;
}

void TPieces::CloseAllFiles() {
  for (auto& entry : files)
    if (entry) entry->file.Close();
}

bool TPieces::StartupCheck(TPieces* previous) {
  if (!IsComplete()) return false;
  Notify(PieceEvent::Of(PieceEvent::kPublish));
  if (previous && previous != this && previous->IsComplete() && CarryOver(*previous)) return !Stopping();
  if (sizesOnlyCheck) {
    if (Stopping()) return false;
    checkedBytes = doneBytes = 0;
    return SizesOnlyCheck();
  }
  // A saved resume record, when it checks out, spares the hashing.
  const bool resumed = LoadResume();
  if (resumed && !forceRecheck) return !Stopping();
  if (!loading) {
    CloseAllFiles();
    checkedBytes = wantedBytes = totalLength;
    doneBytes = 0;
    wantedPieces = pieceCount;
    return true;
  }
  return HashCheck();
}

bool TPieces::CarryOver(TPieces& previous) {
  if (previous.files.size() != files.size() || previous.totalLength != totalLength ||
      pieceLength % kBlockSize != 0)
    return false;
  std::vector<uint8_t> unit(kBlockSize);
  for (auto& piece : piecesArray) {
    if (Stopping()) break;
    std::vector<uint8_t> bytes(static_cast<size_t>(piece->size));
    std::vector<bool> present;
    bool all = true;
    for (int offset = 0; offset < piece->size; offset += kBlockSize) {
      const int64_t at = PieceStart(piece->index) + offset;
      const int length = std::min(kBlockSize, piece->size - offset);
      TPiece* old = previous.Piece(at / previous.pieceLength);
      const bool ok = old && previous.IsHeld(old->index) &&
                      old->ReadBlock(bytes.data() + offset, length,
                                     static_cast<int>(at - previous.PieceStart(old->index)), 0, 0,
                                     false) == length;
      present.push_back(ok);
      all = all && ok;
    }
    if (all) {
      piece->Verify(bytes.data(), piece->size, false);
    } else {
      for (size_t u = 0; u < present.size(); ++u) {
        if (!present[u]) continue;
        const int offset = static_cast<int>(u) * kBlockSize;
        piece->Receive(bytes.data() + offset, std::min(kBlockSize, piece->size - offset),
                       offset, nullptr);
      }
    }
  }
  checkedBytes = totalLength;
  return true;
}

bool TPieces::HashCheck() {
  checkedBytes = 0;
  const int64_t unit = int64_t{8} * pieceLength > 4194304 ? pieceLength : int64_t{8} * pieceLength;
  std::vector<uint8_t> buffer(static_cast<size_t>(unit + pieceLength));
  int64_t bufferStart = 0;  // stream offset of buffer[0]
  int64_t bufferLength = 0;
  int64_t nextPiece = 0;
  bool stopped = false;

  auto verifyBuffered = [&] {
    while (nextPiece < pieceCount) {
      TPiece& piece = *piecesArray[static_cast<size_t>(nextPiece)];
      const int64_t start = PieceStart(piece.index);
      if (start < bufferStart) {  // its first bytes were never read
        ++nextPiece;
        continue;
      }
      if (start + piece.size > bufferStart + bufferLength) break;
      piece.Verify(buffer.data() + (start - bufferStart), piece.size, false);
      ++nextPiece;
      if (nextPiece % 10 == 0 && Stopping()) return false;
    }
    // Keep only the bytes of the next piece, which continues in a later read.
    const int64_t keepFrom = std::min(PieceStart(static_cast<int>(nextPiece)), bufferStart + bufferLength);
    const int64_t keep = bufferStart + bufferLength - std::max(keepFrom, bufferStart);
    if (keep > 0 && keepFrom > bufferStart)
      std::memmove(buffer.data(), buffer.data() + (keepFrom - bufferStart), static_cast<size_t>(keep));
    if (keepFrom > bufferStart) {
      bufferStart = keepFrom;
      bufferLength = std::max<int64_t>(keep, 0);
    }
    return true;
  };

  for (auto& entry : files) {
    if (stopped) break;
    if (entry->length > 0 && FileExists(entry->path)) {
      if (bufferStart + bufferLength != entry->offset) {
        // A gap (missing or short file before): start over at this file.
        bufferStart = entry->offset;
        bufferLength = 0;
        nextPiece = (entry->offset + pieceLength - 1) / pieceLength;
      }
      entry->file.openFlags = TFileHandle::kSequentialScan;
      bool opened;
      {
        ScopedLock lock(&StorageLock());
        opened = entry->file.Open(entry->path, true);
      }
      int64_t position = 0;
      while (opened && position < entry->length) {
        const int64_t room = static_cast<int64_t>(buffer.size()) - bufferLength;
        const int64_t want = std::min(room, entry->length - position);
        int64_t got;
        {
          ScopedLock lock(&StorageLock());
          got = entry->file.ReadAt(buffer.data() + bufferLength, want, position);
        }
        if (got <= 0) break;  // shorter than its length, or vanished meanwhile
        position += got;
        bufferLength += got;
        if (checkProgress) checkProgress(checkedBytes + position);
        if (!verifyBuffered()) {
          stopped = true;
          break;
        }
      }
      entry->file.Close();
      entry->file.openFlags = 0;
    }
    checkedBytes += std::max<int64_t>(entry->length, 0);
  }
  CloseAllFiles();
  if (stopped || Stopping()) return false;
  return checkedBytes >= totalLength;
}

bool TPieces::SizesOnlyCheck() {
  checkedBytes = 0;
  int counted = 0;
  for (auto& entry : files) {
    if (++counted % 100 == 0 && Stopping()) return false;
    if (entry->length <= 0 || !FileExists(entry->path)) continue;
    TFileHandle probe;
    if (probe.Open(entry->path, true) && probe.Size() == entry->length) {
      checkedBytes += entry->length;
      doneBytes += entry->length;
    }
  }
  bool good = checkedBytes == totalLength;
  if (good) {
    checkedBytes = doneBytes = 0;
    std::vector<uint8_t> bytes(static_cast<size_t>(pieceLength));
    for (int64_t index : {int64_t{0}, pieceCount - 1, pieceCount / 2}) {
      TPiece* piece = Piece(index);
      if (!piece) continue;
      if (piece->ReadBlock(bytes.data(), piece->size, 0, 0, 0, true) < piece->size) {
        good = false;
        break;
      }
      piece->Release();
    }
  }
  if (good) {
    have.SetAll(true);
    checkedBytes = doneBytes = totalLength;
    finishedPieces = static_cast<int>(pieceCount);
    Notify(PieceEvent::Of(PieceEvent::kAllHeld));
  } else {
    doneBytes = 0;  // no piece was marked held
  }
  CloseAllFiles();
  return good;
}

bool TPieces::PieceRange(TFileEntry& entry, int* first, int* span) {
  if (pieceLength <= 0) return false;
  const int64_t firstPiece = entry.offset / pieceLength;
  if (entry.firstPiece != firstPiece || entry.pieceSpan < 0) {
    int64_t offset = 0;
    for (auto& other : files) {
      if (other.get() == &entry) break;
      offset += std::max<int64_t>(other->length, 0);
    }
    entry.offset = offset;
    entry.SetPieceSpan(pieceLength);
  }
  *first = entry.firstPiece;
  *span = entry.pieceSpan;
  return *first >= 0 && *span >= 0 && *first + *span <= pieceCount;
}

bool TPieces::SelectFile(TFileEntry& entry, bool skip) {
  entry.priority = skip ? TFileEntry::kSkipped : TFileEntry::kSelected;
  if (skip) entry.file.Close();
  if (entry.length <= 0) return true;
  int first, span;
  if (!PieceRange(entry, &first, &span)) return false;

  // A piece at the file's edge that a selected neighbour shares stays wanted.
  auto sharedWithSelected = [&](int piece) {
    const int64_t start = PieceStart(piece);
    const int64_t end = std::min(start + pieceLength, totalLength);
    for (auto& other : files) {
      if (other.get() == &entry || other->length <= 0 || other->IsSkipped()) continue;
      if (other->offset < end && other->offset + other->length > start) return true;
    }
    return false;
  };
  int changed = 0;
  for (int i = first; i < first + span; ++i) {
    TPiece& piece = *piecesArray[static_cast<size_t>(i)];
    const bool edge = i == first || i == first + span - 1;
    const uint8_t want = skip && !(edge && sharedWithSelected(i)) ? 1 : 0;
    if (piece.notWanted == want) continue;
    piece.notWanted = want;
    ++changed;
    if (!IsHeld(i)) finishedPieces += skip ? 1 : -1;
  }
  if (!skip && span >= 2) {
    const int last = first + span - 1;
    if (!IsHeld(last - 1) && IsHeld(last)) MarkHeld(last, false);
  }
  wantedBytes += skip ? -entry.length : entry.length;
  wantedPieces += skip ? -changed : changed;
  wantedBytes = std::clamp<int64_t>(wantedBytes, 0, totalLength);
  wantedPieces = std::clamp<int64_t>(wantedPieces, 0, pieceCount);
  finishedPieces = static_cast<int>(std::clamp<int64_t>(finishedPieces, 0, pieceCount));
  return true;
}

void TPieces::SelectAll(bool skip) {
  for (auto& entry : files) entry->priority = skip ? TFileEntry::kSkipped : TFileEntry::kSelected;
  for (auto& piece : piecesArray) piece->notWanted = skip ? 1 : 0;
  if (skip) {
    CloseAllFiles();
    wantedBytes = 0;
    wantedPieces = 0;
    finishedPieces = static_cast<int>(pieceCount);
  } else {
    wantedBytes = totalLength;
    wantedPieces = pieceCount;
    int held = 0;
    for (int64_t i = 0; i < pieceCount; ++i) held += IsHeld(i) ? 1 : 0;
    finishedPieces = held;
  }
}

void TPieces::ApplyFileSelection() {
  if (fileSelection.empty()) return;
  const std::unique_ptr<QElement> list = ParseElement(fileSelection);
  if (!list || list->Kind() != QElement::kKindList || list->Count() == 0) return;
  SelectAll(true);
  for (int i = 0; i < list->Count(); i += 2) {
    const QElement* item = list->ChildAt(i);
    TFileEntry* entry = FileByName(LocalText(item));
    // The list is the one this map publishes: 1 marks a skipped file.
    if (entry && IntegerValue(item) == 0) SelectFile(*entry, false);
  }
}

void TPieces::PublishFileList() {
  if (!owner || !CheckFinished()) return;
  auto list = NewList();
  for (auto& entry : files) {
    list->AppendText(entry->relativeName.data(), static_cast<int>(entry->relativeName.size()),
                     entry->IsSkipped() ? 1 : 0, true);
    list->Append(NewDictionary());
  }
  std::string bytes;
  if (!Encode(list.get(), bytes)) return;
  Notify(PieceEvent::Record(PieceEvent::kFileList, bytes));
}

bool TPieces::FileMissingPieces(TFileEntry& entry, int* count) {
  int first, span;
  if (!PieceRange(entry, &first, &span)) return false;
  int missing = 0;
  for (int i = first; i < first + span; ++i) missing += IsWanted(i) ? 1 : 0;
  if (count) *count = missing;
  return missing == 0;
}

bool TPieces::FileHeld(TFileEntry& entry) {
  if (entry.length <= 0) return true;
  int first, span;
  if (!PieceRange(entry, &first, &span)) return false;
  for (int i = first; i < first + span; ++i)
    if (!IsHeld(i)) return false;
  return true;
}

bool TPieces::FileUntouched(TFileEntry& entry) {
  if (entry.length <= 0) return !entry.IsSkipped();
  int first, span;
  if (!PieceRange(entry, &first, &span)) return false;
  for (int i = first; i < first + span; ++i)
    if (IsHeld(i)) return false;
  return true;
}

TFileEntry* TPieces::FileByName(const std::string& relativeName) const {
  for (auto& entry : files)
    if (entry->relativeName == relativeName) return entry.get();
  return nullptr;
}

std::vector<TFileEntry*> TPieces::MissingEmptyFiles() const {
  std::vector<TFileEntry*> missing;
  for (auto& entry : files) {
    if (entry->length != 0 || entry->IsSkipped() || FileExists(entry->path)) continue;
    if (entry->usesTempName && FileExists(entry->finalPath)) continue;
    missing.push_back(entry.get());
  }
  return missing;
}

bool TPieces::CreateEmptyFiles() {
  bool made = true;
  for (TFileEntry* entry : MissingEmptyFiles()) {
    const std::string path = entry->usesTempName ? entry->finalPath : entry->path;
    ScopedLock lock(&StorageLock());
    TFileHandle file;
    if (!MakeDirectories(path) || !file.Open(path, false)) {
      made = false;
      continue;
    }
    file.Close();
    entry->path = path;
    entry->finalPath.clear();
    entry->usesTempName = 0;
    if (readOnlyWhenDone) SetReadOnly(path, true);
  }
  if (!made) Notify(PieceEvent::Of(PieceEvent::kSizeUnreadable));
  return made;
}

void TPieces::LimitOpenFiles() {
  int open = 0;
  for (auto& entry : files) open += entry->file.IsOpen() ? 1 : 0;
  const int perFile = (pieceLength + kCacheUnit - 1) / kCacheUnit;
  if (open >= 128 / std::max(perFile, 1) + 1) CloseAllFiles();
}

void TPieces::WriteCompletePieces() {
  for (auto& piece : piecesArray)
    if (piece->complete) piece->FinishWrite();
  pendingWriteBytes = 0;
}

void TPieces::CloseFiles(bool /*force*/, bool finishing) {
  if (finishing) {
    const uint8_t wasNoWait = noWait;
    noWait = 1;
    for (auto& piece : piecesArray) {
      if (piece->complete && piece->FinishWrite() != piece->size) MarkHeld(piece->index, false);
    }
    noWait = wasNoWait;
  }
  bool changed = false;
  for (auto& entry : files) {
    if (!entry->file.IsOpen()) continue;
    if (!entry->file.IsReadOnly()) changed = true;
    entry->file.Close();
  }
  if (finishing && CheckFinished()) {
    const bool complete = TaskComplete();
    for (auto& entry : files) {
      if (!entry->usesTempName || entry->IsSkipped()) continue;
      if (!complete && !FileHeld(*entry)) continue;
      if (entry->RenameToFinal()) changed = true;
      if (readOnlyWhenDone) SetReadOnly(entry->path, true);
    }
    if (complete) {
      for (auto& piece : piecesArray) piece->Release();
      if (!partialsPath.empty()) platform::RemoveFile(partialsPath.c_str());
    }
  }
  if (changed && CheckFinished()) {
    PublishFileList();
    // Files written to have changed on disk: the resume record follows them.
    if (finishing) SaveResume();
  }
}

bool TPieces::WaitForSpace(TFileEntry* entry, int64_t needed, ScopedLock* storageLock) {
  bool waited = false;
  while (FreeSpace(entry->path) < needed) {
    if (noWait || Stopping()) return false;
    if (!waited) {
      waited = true;
      if (storageLock) storageLock->Unlock();
      Notify(PieceEvent::Of(PieceEvent::kDiskWait));
    }
    platform::SleepMs(static_cast<uint32_t>(freeSpacePollMs));
    if (Stopping()) return false;
  }
  if (waited) Notify(PieceEvent::Of(PieceEvent::kDiskRoom));
  return true;
}

bool TPieces::OpenSized(TFileEntry* entry, int64_t neededOffset, bool forWriting,
                        ScopedLock* storageLock, bool noGrow) {
  if (!entry || entry->length < 0 || neededOffset < 0 || neededOffset > entry->length) return false;
  entry->file.openFlags = 0;
  TFileHandle& file = entry->file;
  if (forWriting) {
    if (file.IsOpen() && file.IsReadOnly()) file.Close();
    if (!file.IsOpen()) SetReadOnly(entry->path, false);
  }
  if (!file.IsOpen()) {
    bool readOnly = !forWriting;
    if (!forWriting && CheckFinished() && !TaskComplete()) {
      int missing = 0;
      FileMissingPieces(*entry, &missing);
      readOnly = missing == 0;
    }
    bool opened = file.Open(entry->path, readOnly);
    bool refused = !opened && file.OpenRefused();
    if (!opened && forWriting && !refused) {
      if (MakeDirectories(entry->path)) {
        opened = file.Open(entry->path, false);
        refused = !opened && file.OpenRefused();
      } else {
        refused = true;  // the target's folder cannot be made
      }
    }
    if (!opened) {
      // A target that can never be written (a read-only file system, a
      // folder of someone else's) ends the task as an unwritable disk does;
      // otherwise every piece would be fetched, dropped and fetched again.
      if (forWriting && refused) Notify(PieceEvent::Of(PieceEvent::kSizeUnreadable));
      return false;
    }
  }
  int64_t size = file.Size();
  if (size < 0) {
    Notify(PieceEvent::Of(PieceEvent::kSizeUnreadable));
    return false;
  }
  if (size > entry->length) {
    // Longer than the metainfo says: cut it back, keeping the open mode.
    const bool readOnly = file.IsReadOnly();
    file.Close();
    TFileHandle cutter;
    const bool cut = cutter.Open(entry->path, false) && cutter.SetLength(entry->length);
    cutter.Close();
    if (!cut || !file.Open(entry->path, readOnly)) return false;
    return file.Size() == entry->length;
  }
  if (!forWriting) return size >= neededOffset && IsComplete();

  int64_t target = entry->length;
  if (entry->IsSkipped() || noWait || !growWholeFile) target = neededOffset;
  target = std::min(target, entry->length);
  if (target > size) {
    if (!WaitForSpace(entry, target - size, storageLock)) return false;
    if (!noGrow) {
      if (storageLock && !storageLock->IsLocked()) storageLock->Lock();
      if (file.SetLength(target)) size = target;
      if (size < target) file.Close();
    }
  }
  return size >= neededOffset && IsComplete();
}

void TPieces::EnableBackgroundHashing() {
  if (!hasher) hasher = std::make_unique<PieceHasher>();
}

void TPieces::CollectHashes() {
  if (!hasher) return;
  for (PieceHasher::Job& job : hasher->TakeFinished()) {
    TPiece* piece = job.piece;
    if (piece->TakeHashResult(job) && piece->complete) piece->FinishWrite();
  }
}

void TPieces::WaitForHashes() {
  if (!hasher) return;
  hasher->WaitIdle();
  CollectHashes();
}

void TPieces::DiscardHashes() {
  if (!hasher) return;
  // The pieces the verdicts belong to are about to go.
  hasher->WaitIdle();
  hasher->TakeFinished();
}

void TPieces::CacheMaintenance() {
  const int64_t cache = CacheSize();
  const int64_t now = WallSeconds();
  int64_t pending = 0;
  int64_t total = 0;
  for (auto& owned : piecesArray) {
    TPiece& piece = *owned;
    const bool held = IsHeld(piece.index);
    if (piece.BufferedBytes() == 0) continue;
    if (!piece.complete && !piece.verified && !held && !piece.notWanted &&
        piece.BufferedBytes() >= TPiece::kMaxChunk && now - piece.lastActivity > 600) {
      piece.Flush(TPiece::kMaxChunk);
    } else if (piece.notWanted && !held) {
      piece.verified = 0;
      piece.Reset();
    } else if (piece.complete && piece.verified) {
      const int64_t keep = cachedBytes < cache / 2 ? cache / 2 : cache / 5;
      if (pending < keep) {
        pending += piece.BufferedBytes();
      } else {
        piece.FinishWrite();
      }
    }
    total += piece.BufferedBytes();
  }
  pendingWriteBytes = pending;
  cachedBytes = total;

  if ((cachedBytes >= cache || now - lastEviction > 6 * 3600) && cachedBytes > kCacheUnit) {
    std::vector<TPiece*> candidates;
    int64_t candidateBytes = 0;
    for (auto& owned : piecesArray) {
      TPiece& piece = *owned;
      if (piece.BufferedBytes() == 0) continue;
      if (IsHeld(piece.index) && !piece.complete) {
        if (now - piece.lastActivity > 3600) {
          piece.Reset();
        } else {
          candidates.push_back(&piece);
          candidateBytes += piece.BufferedBytes();
        }
      } else if (piece.notWanted && !IsHeld(piece.index)) {
        piece.Reset();
      }
    }
    if (candidateBytes + pendingWriteBytes >= cache) {
      std::sort(candidates.begin(), candidates.end(),
                [](const TPiece* a, const TPiece* b) { return a->lastActivity < b->lastActivity; });
      const int64_t room = std::max<int64_t>(cache / 10, kCacheUnit);
      for (TPiece* piece : candidates) {
        if (cache - (candidateBytes + pendingWriteBytes) >= room) break;
        candidateBytes -= piece->BufferedBytes();
        piece->Reset();
      }
    }
    int64_t remaining = 0;
    for (auto& piece : piecesArray) remaining += piece->BufferedBytes();
    cachedBytes = remaining;
    lastEviction = now;
  }
}

}  // namespace pf
