#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "engine/content/BufferPool.h"
#include "engine/content/PieceHasher.h"
#include "engine/content/Sha1.h"
#include "engine/content/TPieceSource.h"
#include "engine/base/TRefObject.h"
#include "engine/content/BlockSize.h"

namespace pf {

class TFileEntry;

class TPieces;

// One piece of a task: collects arriving blocks in pooled chunks, checks the
// finished piece against its SHA-1, writes it through the target files and
// serves blocks back out. Long pieces stream to disk in order while a
// running SHA-1 follows them, so a piece never has to sit in memory whole.
class TPiece {
 public:
  static constexpr int kMaxChunk = 131072;
  static constexpr int kReadAhead = 65536;
  static constexpr int kBadPiece = -99;
  static constexpr int kBadWrite = -100;

  struct ReceiveResult {
    int result;     // bytes taken, or kBadPiece
    bool accepted;  // false when the bytes were not wanted
  };

  TPiece(TPieces* map, int index, int size, const uint8_t* expectedHash);
  ~TPiece();
  TPiece(const TPiece&) = delete;
  TPiece& operator=(const TPiece&) = delete;

  ReceiveResult Receive(const uint8_t* bytes, int length, int offset, TPieceSource* source);
  // Writes out the whole chunks that follow `flushed` when there are at
  // least `minimum` bytes of them; bytes written, 0, or kBadPiece.
  int Flush(int minimum);
  // Writes the rest of a complete piece and releases its memory; the piece
  // size, 0 when there was nothing to finish, -1 for an invalid piece or
  // kBadPiece when the write fell short.
  int FinishWrite();
  // Writes a span of the piece through the target files; bytes written, -1,
  // or kBadWrite when the whole piece was written and failed its check.
  int WriteThrough(const uint8_t* bytes, int length, int offset, bool trusted);
  // Writes a span of the piece through the target files, nothing else;
  // bytes written, or -1 when the piece has no files.
  int WriteSpan(const uint8_t* bytes, int length, int offset);
  // Walks the files that the piece bytes [from, to) lie in: `io` gets each
  // file, the position in it, the byte count, the offset from `from` and the
  // number of files of the piece, and answers the bytes it moved; the walk
  // ends at the first short answer. The bytes moved in all, or -1 when the
  // piece has no files.
  using FileSpanIo = std::function<int64_t(TFileEntry& entry, int64_t position, int64_t count, int64_t at,
                                           size_t files)>;
  int ForEachFileSpan(int from, int to, const FileSpanIo& io);
  // Copies a block for a peer, reading it (and some read-ahead) from disk
  // when it is not buffered; bytes copied, 0 when not available yet, -1.
  int ReadBlock(uint8_t* destination, int length, int offset, int64_t time, int readAhead,
                bool allowNotHeld);
  // Copies a span of a held piece for a peer: from the piece's buffers when
  // they hold it, else straight from the files, without caching what was
  // read (a peer streaming the content would otherwise pull it all through
  // memory). Bytes copied, or -1.
  int ReadHeld(uint8_t* destination, int length, int offset);
  bool Verify(const uint8_t* bytes, int length, bool trusted);
  bool CheckWhole(const uint8_t* bytes, int length) const;
  void Release();
  void Reset();

  int BufferedBytes() const { return buffered_; }
  int ChunkSize() const { return chunkSize_; }
  size_t ChunkSlots() const { return slots_.size(); }
  bool HasUnit(int offset) const { return units_.count(offset) != 0; }
  bool WholeInMemory() const;
  // Adds the running hash context restored from a resume record.
  void SetRunningHash(std::unique_ptr<Sha1> hash) { runningHash = std::move(hash); }
  const Sha1* RunningHash() const { return runningHash.get(); }
  // Start offsets of the 16 KB units present (the flushed range included).
  const std::set<int>& Units() const { return units_; }
  // Copies buffered bytes [from, to) out of the chunks; false when a unit is missing.
  bool CopyOut(uint8_t* destination, int from, int to) const;
  // Copies bytes into the chunks, marking whole units present (existing units stay).
  void StoreUnits(const uint8_t* bytes, int from, int to);
  // Marks the piece as whole and good in memory, waiting to be written.
  void StampComplete();
  // For a piece whose bytes are all present (buffered after `flushed`): the
  // same check as a received piece gets (running hash continued over the
  // buffered tail), stamping it complete on a match and dropping it otherwise.
  bool CheckBufferedWhole() { return !complete && WholeInMemory() && HashBufferedTail(); }
  // Takes back the buffers and the verdict of a background check; false
  // when the piece was reset meanwhile (the job's bytes are then dropped).
  bool TakeHashResult(PieceHasher::Job& job);

  uint8_t notWanted = 0;
  int index;
  int size;
  int64_t fileOffset = -1;
  int firstFile = -1;
  int flushed = 0;
  uint8_t verified = 0;
  TPieces* map;
  uint8_t complete = 0;
  std::unique_ptr<Sha1> runningHash;
  const uint8_t* expectedHash;
  int64_t lastActivity = 0;
  RefPtr<TPieceSource> source;
  int sourceBytes = 0;
  // Whole and handed to the background check: takes no bytes meanwhile.
  uint8_t hashing = 0;
  // Grows whenever the buffers are dropped, so that a late verdict on old
  // bytes is not applied to new ones.
  uint32_t generation = 0;

 private:
  enum class StoreResult { kRefused, kPartial, kWhole };
  StoreResult Store(const uint8_t* bytes, int length, int offset);
  void EnsureSlots();
  // Gives the chunk buffers back and forgets the source.
  void DropBuffers();
  // Hashes the buffered tail after `flushed`; stamps the piece complete on a
  // match, drops it on a mismatch. True on a match.
  bool HashBufferedTail();
  // What follows a check of the whole piece: stamped complete, or dropped
  // and its source booked for a bad piece.
  bool ApplyVerdict(bool good);
  // Hands the whole piece to the map's background check; false when there
  // is none or it is full (the caller checks it here and now).
  bool HandToHasher();
  void ReportBadPiece();
  bool SpanBuffered(int from, int to) const;
  // Reads [from, to) of the piece from the target files; bytes read.
  int ReadFromFiles(uint8_t* destination, int from, int to);

  int chunkSize_;
  int buffered_ = 0;
  std::vector<PoolBuffer> slots_;
  std::set<int> units_;  // start offsets of the 16 KB units present
};

}  // namespace pf
