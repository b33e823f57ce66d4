#include "engine/content/TPiece.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/base/EngineClock.h"
#include "engine/content/TPieces.h"
#include "engine/base/EngineLocks.h"

namespace pf {
namespace {

constexpr int kCompleteAge = 1805;  // half the cache idle time-out, plus 5 seconds

int RoundDownToUnit(int value) { return value / kBlockSize * kBlockSize; }

}  // namespace

TPiece::TPiece(TPieces* owner, int pieceIndex, int pieceSize, const uint8_t* hash)
    : index(pieceIndex),
      size(pieceSize),
      map(owner),
      expectedHash(hash),
      chunkSize_(std::min(pieceSize, kMaxChunk)) {}

TPiece::~TPiece() = default;

void TPiece::EnsureSlots() {
  if (!slots_.empty()) return;
  slots_.resize(static_cast<size_t>((size + chunkSize_ - 1) / chunkSize_));
  // Bytes already on disk count as present so that completion adds up.
  for (int unit = 0; unit < flushed; unit += kBlockSize) units_.insert(unit);
  if (map) map->activePieces.insert(this);
}

bool TPiece::SpanBuffered(int from, int to) const {
  for (int unit = from / kBlockSize * kBlockSize; unit < to; unit += kBlockSize)
    if (!units_.count(unit)) return false;
  return true;
}

bool TPiece::WholeInMemory() const {
  if (slots_.empty()) return false;
  for (int unit = flushed; unit < size; unit += kBlockSize) {
    if (!units_.count(unit)) return false;
    if (!slots_[static_cast<size_t>(unit / chunkSize_)]) return false;
  }
  return true;
}

TPiece::StoreResult TPiece::Store(const uint8_t* bytes, int length, int offset) {
  if (offset < 0 || offset >= size || length <= 0) return StoreResult::kRefused;
  length = std::min(length, size - offset);
  const int chunk = offset / chunkSize_;
  if ((offset + length - 1) / chunkSize_ != chunk) return StoreResult::kRefused;
  EnsureSlots();
  lastActivity = map ? WallSeconds() : 0;
  PoolBuffer& slot = slots_[static_cast<size_t>(chunk)];
  if (!slot) slot = BufferPool::Data().Take(chunkSize_);
  std::memcpy(slot.data() + (offset - chunk * chunkSize_), bytes, static_cast<size_t>(length));
  if (units_.insert(offset).second && offset >= flushed) buffered_ += length;
  sourceBytes += length;
  return buffered_ + flushed >= size ? StoreResult::kWhole : StoreResult::kPartial;
}

void TPiece::StoreUnits(const uint8_t* bytes, int from, int to) {
  EnsureSlots();
  for (int unit = from; unit < to; unit += kBlockSize) {
    const int length = std::min(kBlockSize, to - unit);
    if (units_.count(unit)) continue;
    const size_t chunk = static_cast<size_t>(unit / chunkSize_);
    if (!slots_[chunk]) slots_[chunk] = BufferPool::Data().Take(chunkSize_);
    std::memcpy(slots_[chunk].data() + (unit - static_cast<int>(chunk) * chunkSize_), bytes + (unit - from),
                static_cast<size_t>(length));
    units_.insert(unit);
    buffered_ += length;
  }
}

bool TPiece::CopyOut(uint8_t* destination, int from, int to) const {
  for (int position = from; position < to;) {
    const size_t chunk = static_cast<size_t>(position / chunkSize_);
    if (chunk >= slots_.size() || !slots_[chunk]) return false;
    const int chunkStart = static_cast<int>(chunk) * chunkSize_;
    const int end = std::min(to, chunkStart + chunkSize_);
    std::memcpy(destination + (position - from), slots_[chunk].data() + (position - chunkStart),
                static_cast<size_t>(end - position));
    position = end;
  }
  return true;
}

bool TPiece::HashBufferedTail() {
  bool good = true;
  if (map && map->HasRealHashes()) {
    const auto matches =
        PieceHasher::Matches(slots_, chunkSize_, flushed, size, runningHash.get(), expectedHash);
    if (!matches) return false;
    good = *matches;
  }
  return ApplyVerdict(good);
}

bool TPiece::HandToHasher() {
  PieceHasher* hasher = map ? map->hasher.get() : nullptr;
  if (!hasher || !expectedHash || !map->HasRealHashes() || !hasher->HasRoom()) return false;
  PieceHasher::Job job;
  job.piece = this;
  job.generation = generation;
  job.chunks = std::move(slots_);
  slots_.clear();
  job.chunkSize = chunkSize_;
  job.from = flushed;
  job.size = size;
  job.running = std::move(runningHash);
  std::memcpy(job.expected.data(), expectedHash, job.expected.size());
  hashing = 1;
  hasher->Submit(std::move(job));
  return true;
}

bool TPiece::TakeHashResult(PieceHasher::Job& job) {
  if (!hashing || job.generation != generation) return false;
  hashing = 0;
  slots_ = std::move(job.chunks);
  runningHash = std::move(job.running);
  RefPtr<TPieceSource> supplier = source;
  const bool good = ApplyVerdict(job.good);
  // The source that completed it learns now what the check found.
  if (!good && supplier) supplier->OnBadPiece();
  return true;
}

bool TPiece::ApplyVerdict(bool good) {
  if (!good) {
    ReportBadPiece();
    verified = 0;
    complete = 0;
    const bool alone = source && sourceBytes >= size;
    RefPtr<TPieceSource> supplier = source;
    Reset();
    if (alone) {
      supplier->AddScore(1);
      if (supplier->SourceKind() != kBtNode) supplier->AddBadPiece();
    }
    Release();
    return false;
  }
  if (source) source->ClearBadPieces();
  complete = 1;
  verified = 1;
  StampComplete();
  return true;
}

void TPiece::StampComplete() {
  if (!map) return;
  lastActivity = WallSeconds() - kCompleteAge;
  map->pendingWriteBytes += buffered_;
  map->cachedBytes += buffered_;
  map->StampChange();
}

void TPiece::ReportBadPiece() {
  if (!source || !map) return;
  const std::string target = !map->files.empty() ? map->files.front()->path : std::string();
  PieceEvent::BadPiece who;
  who.targetPath = target;
  char address[64] = "";
  std::string sourceAddress;
  if (source->SourceKind() == kBtNode) {
    const uint32_t ip = source->Ipv4();
    std::snprintf(address, sizeof(address), "%d.%d.%d.%d : %d", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF, source->Port());
    who.fromPeer = true;
    who.peerAddress = address;
  } else {
    sourceAddress = source->AddressText();
    who.sourceAddress = sourceAddress;
  }
  map->Notify(PieceEvent::BadPieceFrom(index, who));
}

TPiece::ReceiveResult TPiece::Receive(const uint8_t* bytes, int length, int offset,
                                      TPieceSource* from) {
  if (!map || notWanted || hashing || map->IsHeld(index) || !bytes) return {length, false};
  if (source.get() != from) {
    source = RefPtr<TPieceSource>::Share(from);
    sourceBytes = 0;
  }
  if (offset >= flushed) {
    const StoreResult stored = Store(bytes, length, offset);
    if (stored == StoreResult::kRefused) return {length, false};
    if (stored == StoreResult::kWhole && !complete) {
      if (HandToHasher()) return {length, true};
      return HashBufferedTail() ? ReceiveResult{length, true} : ReceiveResult{kBadPiece, true};
    }
  }
  return {length, true};
}

int TPiece::Flush(int minimum) {
  if (verified || buffered_ == 0 || slots_.empty()) return 0;
  int contiguous = 0;
  for (size_t chunk = static_cast<size_t>(flushed / chunkSize_); chunk < slots_.size(); ++chunk) {
    const int start = static_cast<int>(chunk) * chunkSize_;
    const int end = std::min(size, start + chunkSize_);
    if (!slots_[chunk] || !SpanBuffered(start, end)) break;
    contiguous += end - start;
  }
  if (contiguous == 0 || contiguous < minimum) return 0;
  if (flushed + contiguous >= size) return HashBufferedTail() ? contiguous : kBadPiece;

  PoolBuffer scratch = BufferPool::Data().Take(contiguous);
  if (!CopyOut(scratch.data(), flushed, flushed + contiguous) ||
      WriteThrough(scratch.data(), contiguous, flushed, false) != contiguous) {
    Reset();
    return kBadPiece;
  }
  if (!runningHash) runningHash = std::make_unique<Sha1>();
  if (map->HasRealHashes()) runningHash->update(scratch.data(), static_cast<size_t>(contiguous));
  for (int chunk = flushed / chunkSize_; chunk < (flushed + contiguous) / chunkSize_; ++chunk)
    slots_[static_cast<size_t>(chunk)].Release();
  buffered_ -= contiguous;
  flushed += contiguous;
  return contiguous;
}

int TPiece::FinishWrite() {
  if (!map || !map->IsValidPiece(index)) return -1;
  if (!complete || !WholeInMemory()) return 0;
  // Straight from the chunks, one chunk per write: no copy of the whole
  // piece, and writes of this size are much cheaper for the page cache than
  // megabyte ones.
  bool written = true;
  for (int position = flushed; written && position < size;) {
    const size_t chunk = static_cast<size_t>(position / chunkSize_);
    const int chunkStart = static_cast<int>(chunk) * chunkSize_;
    const int end = std::min(size, chunkStart + chunkSize_);
    written = WriteSpan(slots_[chunk].data() + (position - chunkStart), end - position, position) == end - position;
    position = end;
  }
  int result = 0;
  if (written) {
    Verify(nullptr, size, true);
    verified = 1;
    result = size;
  } else {
    Reset();
  }
  if (result == size && source && sourceBytes >= size) source->AddScore(1);
  Release();
  return result == size ? size : kBadPiece;
}

int TPiece::WriteThrough(const uint8_t* bytes, int length, int offset, bool trusted) {
  if (!bytes || length < 1 || offset < 0 || !map) return -1;
  length = std::min(length, size - offset);
  if (length < 1) return -1;
  const int written = WriteSpan(bytes, length, offset);
  if (written < 0) return -1;

  // The whole piece is on disk when this span reaches its end and everything
  // before the span was already written.
  const bool whole = written == length && offset + length == size && offset <= flushed;
  if (whole && !Verify(bytes, offset == 0 ? length : size, trusted || offset > 0)) return kBadWrite;
  const bool wasComplete = complete;
  verified = whole ? 1 : 0;
  if (wasComplete && !verified) map->MarkHeld(index, false);
  return written;
}

int TPiece::ForEachFileSpan(int from, int to, const FileSpanIo& io) {
  std::vector<TFileEntry*> list;
  if (!map->FilesOfPiece(*this, list)) return -1;
  int done = 0;
  int64_t pieceDone = 0;  // piece bytes covered by the files walked so far
  int64_t inFile = fileOffset;
  for (TFileEntry* entry : list) {
    const int64_t fileStart = pieceDone;  // piece offset at this file's position inFile
    pieceDone += entry->length - inFile;
    const int64_t spanStart = std::max<int64_t>(from + done, fileStart);
    const int64_t spanEnd = std::min<int64_t>(to, pieceDone);
    if (spanStart < spanEnd) {
      const int64_t count = spanEnd - spanStart;
      const int64_t n = io(*entry, inFile + (spanStart - fileStart), count, spanStart - from, list.size());
      if (n > 0) done += static_cast<int>(n);
      if (n != count) break;
    }
    inFile = 0;
    if (pieceDone >= to) break;
  }
  return done;
}

int TPiece::WriteSpan(const uint8_t* bytes, int length, int offset) {
  return ForEachFileSpan(offset, offset + length,
                         [&](TFileEntry& entry, int64_t position, int64_t count, int64_t at, size_t files) -> int64_t {
                           ScopedLock lock(&StorageLock());
                           if (!map->OpenSized(&entry, position + count, true, &lock, false)) return -1;
                           if (entry.IsSkipped() && files > 1 && position > map->pieceLength) {
                             // A skipped file is not grown to reach a far offset; the
                             // bytes go to its current end instead.
                             const int64_t end = entry.file.Size();
                             if (position >= end && end >= 0) position = end;
                           }
                           const int64_t n = entry.file.WriteAt(bytes + at, count, position);
                           if (n > 0) entry.writtenSinceSync = 1;
                           return n;
                         });
}

bool TPiece::Verify(const uint8_t* bytes, int length, bool trusted) {
  if (!map || !map->IsValidPiece(index)) return false;
  if (!trusted && length < size) return false;
  const bool good = trusted || CheckWhole(bytes, length);
  map->MarkHeld(index, good);
  return good;
}

bool TPiece::CheckWhole(const uint8_t* bytes, int length) const {
  if (!map || !map->HasRealHashes()) return true;
  if (!bytes || length < size || !expectedHash) return false;
  const Sha1::Digest digest = Sha1::hash(bytes, static_cast<size_t>(size));
  return std::memcmp(digest.data(), expectedHash, digest.size()) == 0;
}

int TPiece::ReadFromFiles(uint8_t* destination, int from, int to) {
  const int done = ForEachFileSpan(from, to,
                                   [&](TFileEntry& entry, int64_t position, int64_t count, int64_t at, size_t) -> int64_t {
                                     ScopedLock lock(&StorageLock());
                                     if (!map->OpenSized(&entry, position + count, false, &lock, true)) return -1;
                                     return entry.file.ReadAt(destination + at, count, position);
                                   });
  return std::max(done, 0);
}

int TPiece::ReadHeld(uint8_t* destination, int length, int offset) {
  if (!destination || length <= 0 || !map || offset < 0 || length > size - offset || !map->IsHeld(index)) return -1;
  ++map->readCount;
  const int end = offset + length;
  if (!slots_.empty() && SpanBuffered(offset, end) && CopyOut(destination, offset, end)) {
    ++map->cacheHits;
    return length;
  }
  return ReadFromFiles(destination, offset, end) == length ? length : -1;
}

int TPiece::ReadBlock(uint8_t* destination, int length, int offset, int64_t time, int readAhead,
                      bool allowNotHeld) {
  if (!destination || length <= 0 || !map || offset < 0 || offset >= size || length > size) return -1;
  if (!allowNotHeld && !map->IsHeld(index)) return -1;
  if (time == 0) time = WallSeconds();
  ++map->readCount;
  length = std::min(length, size - offset);
  const int end = offset + length;

  if (!slots_.empty() && SpanBuffered(offset, end) && CopyOut(destination, offset, end)) {
    ++map->cacheHits;
    lastActivity = time;
    return length;
  }
  // A piece still being received cannot serve what is not on disk yet.
  const bool beingWritten = !complete && (!slots_.empty() || flushed > 0) && !map->IsHeld(index);
  if (beingWritten && end > flushed) return 0;

  const int start = RoundDownToUnit(offset);
  int ahead = RoundDownToUnit(readAhead) * 6;
  if (ahead == 0) ahead = kReadAhead;
  int readLength = RoundDownToUnit(length + (offset - start) + ahead);
  if (readLength > kReadAhead && SpanBuffered(start + kReadAhead, std::min(size, start + readLength)))
    readLength = kReadAhead;
  int readEnd = std::min(size, start + readLength);
  if (beingWritten) readEnd = std::min(readEnd, RoundDownToUnit(flushed));
  if (readEnd < end) readEnd = std::min(size, (end + kBlockSize - 1) / kBlockSize * kBlockSize);
  if (readEnd <= start) return 0;

  PoolBuffer scratch = BufferPool::Data().Take(readEnd - start);
  const int got = ReadFromFiles(scratch.data(), start, readEnd);
  // Keep whole units only; the last unit of the piece may be short.
  int usable = got == readEnd - start ? got : RoundDownToUnit(got);
  if (start + usable < end) return 0;
  const int before = buffered_;
  StoreUnits(scratch.data(), start, start + usable);
  map->cachedBytes += buffered_ - before;
  lastActivity = time;
  if (!verified && WholeInMemory() && flushed == 0) verified = 1;
  return CopyOut(destination, offset, end) ? length : 0;
}

void TPiece::DropBuffers() {
  ++generation;
  hashing = 0;
  slots_.clear();
  units_.clear();
  buffered_ = 0;
  source.reset();
  sourceBytes = 0;
}

void TPiece::Release() {
  if (map) map->activePieces.erase(this);
  runningHash.reset();
  flushed = 0;
  complete = 0;
  DropBuffers();
}

void TPiece::Reset() {
  complete = 0;
  lastActivity = 0;
  DropBuffers();
  if (map && !runningHash && flushed == 0) map->activePieces.erase(this);
}

}  // namespace pf
