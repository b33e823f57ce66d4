#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "engine/schedule/Segment.h"

namespace pf {

// How the pieces are shared among HTTP and FTP connections: the piece index
// space is cut into segments, each connection works through one at a time,
// continues where it stopped, takes over stalled segments and splits a slow
// holder's segment in proportion to the two speeds.
class SegmentList {
 public:
  struct ServerSource {
    const void* source;
    int* allowance;  // connections it may have; cut to the segments it gets
  };

  explicit SegmentList(const PieceStateView& pieces) : pieces_(pieces) {}

  // Initial segments over the usable server sources, in candidate order.
  bool LayOut(const std::vector<ServerSource>& sources, int64_t now);
  // Gives the connection a segment; `tick` rotates where the free-segment
  // search starts.
  bool Assign(SegmentHolder& connection, int64_t now, uint32_t tick);
  // Ends the connection's segment when its last piece is no longer wanted.
  bool CloseIfDone(SegmentHolder& connection);
  Segment* PickToSplit(const SegmentHolder& connection, int64_t now) const;
  // Forgets a connection that went away; its segment is free again.
  void Detach(SegmentHolder& connection);
  // A segment made by a connection itself, put first and given to it.
  Segment* AddFront(int start, int end, SegmentHolder& connection, int64_t now);
  bool HasUnfinished() const;
  void Drop(Segment* segment);

  bool Empty() const { return segments_.empty(); }
  const std::list<std::unique_ptr<Segment>>& Segments() const { return segments_; }
  void Clear();

 private:
  void Give(Segment& segment, SegmentHolder& connection, int64_t now);
  bool Split(SegmentHolder& connection, int64_t now);
  void Remove(Segment* segment);

  const PieceStateView& pieces_;
  std::list<std::unique_ptr<Segment>> segments_;  // in creation order
};

}  // namespace pf
