#pragma once
// What a peer object needs of the task that owns it: the piece map and the
// scheduling state, the byte counters, and the pool's calls for sources.
#include <cstdint>
#include <deque>

#include "engine/content/TPeerId.h"
#include "engine/core/TRefObject.h"

namespace pf {

class TPieces;
class SegmentList;

// One outstanding 16 KB block request.
struct BlockRequest {
  int64_t block;      // byte offset in the content / 16384
  int length;         // at most 16384, never past a piece end
  uint32_t requestedAt;
};

class PeerHost {
 public:
  virtual TPieces* HostPieces() = 0;
  virtual SegmentList& HostSegments() = 0;
  // Blocks split off a piece but not yet given to a peer.
  virtual std::deque<BlockRequest>& SharedRequests() = 0;
  virtual bool InEndPhase() = 0;
  virtual bool HostComplete() = 0;
  // Payload accepted from a source of the given kind.
  virtual void OnPayload(int kind, int64_t bytes) = 0;
  virtual void OnWasted(int64_t bytes) = 0;
  // flag 1 holds the source back for `seconds` passes, 0 drops it.
  virtual void Retry(TPeerId* source, int flag, int seconds) = 0;
  // A source found on the way (a redirect target).
  virtual void AddFoundSource(RefPtr<TPeerId> source) = 0;
  virtual void SetStateCode(int code) = 0;
  virtual void SetHttpStarted() = 0;
  // Bytes the task may still receive in this second (its download limit).
  virtual int64_t ReceiveAllowance() = 0;
  virtual int64_t WallNow() = 0;
  virtual uint32_t MonotonicNow() = 0;

 protected:
  ~PeerHost() = default;
};

}  // namespace pf
