#pragma once
#include <cstdint>

namespace pf {

class SegmentHolder;

// A run of whole pieces given to one server connection at a time.
struct Segment {
  int start = 0;
  int end = 0;                // inclusive
  int current = 0;            // next piece to fetch; start <= current <= end + 1
  uint32_t started = 0;       // set by the holder once it has made progress
  uint8_t finished = 0;
  uint8_t restart = 0;        // reached its end with pieces still in progress: others may take it over
  uint8_t retired = 0;        // never handed out again
  int64_t assignedAt = 0;     // wall seconds of the last assignment or split
  const void* source = nullptr;  // the source the segment was made for
  SegmentHolder* holder = nullptr;
};

// The side of a server connection that the segment list works with.
class SegmentHolder {
 public:
  int lastPiece = -1;     // the last piece it completed
  int segmentCount = 0;   // segments it was given
  int speed = 0;          // bytes per second over the last window
  Segment* segment = nullptr;
  const void* sourceKey = nullptr;  // the source whose segments it prefers

  // Told to give its segment up (another connection takes it over).
  virtual void GiveUpSegment() = 0;

 protected:
  ~SegmentHolder() = default;
};

// What the segment list asks of the piece map.
class PieceStateView {
 public:
  virtual bool IsWanted(int piece) const = 0;
  // Partly received and not held.
  virtual bool InProgress(int piece) const = 0;
  virtual int PieceLength() const = 0;
  virtual int PieceCount() const = 0;
  virtual int FinishedPieces() const = 0;

 protected:
  ~PieceStateView() = default;
};

}  // namespace pf
