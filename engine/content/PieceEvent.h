#pragma once
#include <cstdint>

namespace pf {

// A notification from the piece map or storage to the task that owns it.
struct PieceEvent {
  enum Code {
    kPieceHeld = 1,        // flag: held; value: piece index
    kAllHeld = 2,          // the sizes-only check found every file complete
    kPublish = 3,          // the start-up check begins
    kPiecesBuilt = 100,    // value: piece count
    kFileList = 1000,      // data/kind: the encoded file list and its length
    kResumeRecord = 1001,  // data/kind: the encoded resume record and its length
    kDiskWait = 1002,      // storage waits for free disk space
    kDiskRoom = 1003,      // the wait ended with room
    kSizeUnreadable = 1004,
  };
  int32_t code;
  int32_t flag;
  int32_t kind;
  int64_t value;
  const void* data = nullptr;
};

// The side of a task that hears from its piece map.
class PieceEventSink {
 public:
  virtual void OnPieceEvent(const PieceEvent& event) = 0;
  // Whether the task is stopping, so long operations should end.
  virtual bool IsStopping() = 0;

 protected:
  ~PieceEventSink() = default;
};

}  // namespace pf
