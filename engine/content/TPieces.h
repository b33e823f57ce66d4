#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/Bitfield.h"
#include "engine/content/PieceEvent.h"
#include "engine/content/TFileEntry.h"
#include "engine/content/TPiece.h"
#include "engine/base/EngineClock.h"
#include "engine/base/ScopedLock.h"
#include "engine/base/TRefObject.h"

namespace pf {

class TTorrent;

// A task's map of its content: pieces with sizes and expected hashes, the
// target files and where they lie in the byte stream, which pieces are held,
// which files are selected, and the progress counters.
class TPieces : public TRefObject {
 public:
  static constexpr int kCacheUnit = 262144;

  explicit TPieces(PieceEventSink* owner = nullptr);
  ~TPieces() override;

  // Takes name, lengths, hashes and files (with their places on disk) from
  // an opened torrent.
  void LoadLayout(const TTorrent& torrent);
  // Content as the metainfo reader found it; files in torrent order with
  // their offsets set. Resets every counter.
  void SetContent(std::string name, int64_t totalLength, int pieceLength, std::string pieceHashes,
                  std::vector<std::unique_ptr<TFileEntry>> files, bool realHashes);
  bool BuildPieces(TPieces* previous);
  bool IsComplete() const;
  bool IsValidPiece(int64_t index) const;
  bool IsHeld(int64_t index) const;
  bool IsWanted(int64_t index) const;
  bool MarkHeld(int64_t index, bool held);
  bool StartupCheck(TPieces* previous);
  bool FilesOfPiece(TPiece& piece, std::vector<TFileEntry*>& list);
  bool SelectFile(TFileEntry& entry, bool skip);
  void SelectAll(bool skip);
  bool FileMissingPieces(TFileEntry& entry, int* count);
  bool FileHeld(TFileEntry& entry);
  bool FileUntouched(TFileEntry& entry);
  TFileEntry* FileByName(const std::string& relativeName) const;
  // Zero-length files hold no piece, so neither a check nor a write ever
  // makes them: the selected ones that are on disk under neither name.
  std::vector<TFileEntry*> MissingEmptyFiles() const;
  // Makes those files, under their final names (an empty file is whole from
  // the start); false when one cannot be made, which is reported as an
  // unwritable target.
  bool CreateEmptyFiles();
  // Closes the target files; when finishing, also writes out complete pieces,
  // renames finished files to their final names and drops leftovers.
  void CloseFiles(bool force, bool finishing);
  // Writes every complete piece still held in its buffer to the files.
  void WriteCompletePieces();
  void LimitOpenFiles();
  // Opens the entry's file and sizes it so that `neededOffset` can be read or
  // written, waiting for disk space when needed. `storageLock` is the
  // caller's hold on the storage lock, released while waiting.
  bool OpenSized(TFileEntry* entry, int64_t neededOffset, bool forWriting, ScopedLock* storageLock,
                 bool noGrow);
  void PublishFileList();

  // Resume state (kept in TPiecesResume.cpp): the resume record published to
  // the owner and checked on the next start, and the partial-pieces file that
  // keeps half-received pieces across a restart.
  void SaveResume();
  bool LoadResume();
  bool SavePartials();
  bool LoadPartials();
  // Sets the map up from a task-link template; always true.
  bool ReadTemplate(const std::string& link, TTorrent& torrent);
  // Writes out and evicts piece buffers to keep the cache within its size.
  void CacheMaintenance();
  // Finished pieces are checked on a thread of their own from now on.
  void EnableBackgroundHashing();
  // Applies the verdicts of background checks; good pieces are written.
  void CollectHashes();
  // Waits for every background check, then applies them.
  void WaitForHashes();

  bool CheckFinished() const { return checkedBytes >= totalLength && totalLength > 0; }
  bool HasRealHashes() const { return loading != 0; }
  bool TaskComplete() const { return pieceCount > 0 && finishedPieces >= pieceCount; }
  bool Stopping() const;
  void Notify(const PieceEvent& event);
  int64_t CacheSize() const;
  // Notes a change of held pieces. 0 means "never" to readers, and the
  // monotonic clock starts at 0, so a change in the first second counts as 1.
  void StampChange() { changeTime = std::max<uint32_t>(MonotonicSeconds(), 1); }
  int64_t PieceStart(int index) const { return static_cast<int64_t>(index) * pieceLength; }
  TPiece* Piece(int64_t index) const { return IsValidPiece(index) ? piecesArray[index].get() : nullptr; }

  PieceEventSink* owner;
  TTorrent* torrent = nullptr;
  uint8_t loading = 1;
  std::string fileSelection;  // bencoded list of names carrying 0/1
  std::string resumeRecord;   // the task's saved resume state
  std::string partialsPath;   // the partial-pieces file
  uint8_t useResume = 1;
  // Set once the first resume record made every target file durable: pieces
  // found by hashing may sit only in the page cache after a crash.
  uint8_t resumeSyncedAll = 0;
  Bitfield have;
  std::string pieceHashes;
  std::string baseDirectory;
  std::string name;
  int64_t totalLength = 0;
  int pieceLength = 0;
  std::vector<std::unique_ptr<TPiece>> piecesArray;
  int64_t pieceCount = 0;
  std::vector<std::unique_ptr<TFileEntry>> files;
  int64_t checkedBytes = 0;
  int64_t doneBytes = 0;
  int64_t wantedBytes = 0;
  int64_t wantedPieces = 0;
  int finishedPieces = 0;
  // Bytes of pieces in memory, and of those complete and waiting for the
  // disk. 64 bits: a piece that is fetched and stamped again and again (a
  // target that cannot be written) keeps adding to them between resets.
  int64_t cachedBytes = 0;
  int64_t pendingWriteBytes = 0;
  int lastCompleted = -1;
  int64_t changeTime = 0;
  uint8_t stopCheck = 0;
  uint8_t sizesOnlyCheck = 0;
  uint8_t forceRecheck = 0;
  uint8_t growWholeFile = 1;
  uint8_t noWait = 0;          // storage fails instead of waiting for disk space
  uint8_t readOnlyWhenDone = 0;
  int memoryLimit = 32;

  std::set<TPiece*> activePieces;  // pieces holding buffers or a running hash
  std::unique_ptr<PieceHasher> hasher;  // background checks, when enabled
  int64_t readCount = 0;
  int64_t cacheHits = 0;
  int64_t lastEviction = 0;
  int freeSpacePollMs = 2000;
  // Told the bytes examined so far while the start-up check hashes files.
  std::function<void(int64_t)> checkProgress;

 private:
  // Waits for the background checks and drops their verdicts.
  void DiscardHashes();
  bool HashCheck();
  bool SizesOnlyCheck();
  bool CarryOver(TPieces& previous);
  void ApplyFileSelection();
  void CloseAllFiles();
  bool WaitForSpace(TFileEntry* entry, int64_t needed, ScopedLock* storageLock);
  // Validates the entry's first piece and span; false when they run past the map.
  bool PieceRange(TFileEntry& entry, int* first, int* span);
};

}  // namespace pf
