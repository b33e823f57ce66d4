#pragma once
#include <cstdint>
#include <string_view>

namespace pf {

// A notification from the piece map or storage to the task that owns it.
struct PieceEvent {
  enum Code : int32_t {
    kPieceHeld = 1,        // `on`: held or no longer held; `value`: piece index
    kAllHeld = 2,          // the sizes-only check found every file complete
    kPublish = 3,          // the start-up check begins
    kPiecesBuilt = 100,    // `value`: piece count (0: the map could not be built)
    kFileList = 1000,      // `bytes`: the encoded file list
    kResumeRecord = 1001,  // `bytes`: the encoded resume record
    kDiskWait = 1002,      // storage waits for free disk space
    kDiskRoom = 1003,      // the wait ended with room
    kSizeUnreadable = 1004,
    kBadPiece = 1100,      // `value`: piece index; `badPiece`: who sent it
  };
  // Who delivered a piece that failed its check.
  struct BadPiece {
    bool fromPeer = false;          // a BitTorrent peer, else a server
    std::string_view peerAddress;   // "a.b.c.d : port" of a peer
    std::string_view sourceAddress; // a server's source address
    std::string_view targetPath;    // the task's first file
  };

  Code code = kPublish;
  bool on = true;
  int64_t value = 0;
  std::string_view bytes;
  const BadPiece* badPiece = nullptr;

  static PieceEvent Of(Code code) {
    PieceEvent event;
    event.code = code;
    return event;
  }
  static PieceEvent PieceHeld(int64_t piece, bool held) {
    PieceEvent event = Of(kPieceHeld);
    event.on = held;
    event.value = piece;
    return event;
  }
  static PieceEvent PiecesBuilt(int64_t count) {
    PieceEvent event = Of(kPiecesBuilt);
    event.value = count;
    return event;
  }
  static PieceEvent Record(Code code, std::string_view encoded) {
    PieceEvent event = Of(code);
    event.bytes = encoded;
    return event;
  }
  static PieceEvent BadPieceFrom(int64_t piece, const BadPiece& who) {
    PieceEvent event = Of(kBadPiece);
    event.value = piece;
    event.badPiece = &who;
    return event;
  }
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
