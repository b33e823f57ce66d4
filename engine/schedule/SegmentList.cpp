#include "engine/schedule/SegmentList.h"

#include <algorithm>
#include <climits>

namespace pf {

void SegmentList::Clear() {
  for (auto& segment : segments_)
    if (segment->holder) segment->holder->segment = nullptr;
  segments_.clear();
}

void SegmentList::Remove(Segment* segment) {
  segments_.remove_if([segment](const auto& s) { return s.get() == segment; });
}

bool SegmentList::LayOut(const std::vector<ServerSource>& sources, int64_t now) {
  const int count = static_cast<int>(sources.size());
  const int pieceCount = pieces_.PieceCount();
  if (count <= 0 || pieceCount <= 0) return false;
  for (int i = 0; i < count; ++i) {
    int lo, hi;
    if (count < pieceCount) {
      lo = pieceCount / count * i;
      hi = i + 1 == count ? pieceCount - 1 : pieceCount / count * (i + 1) - 1;
    } else {
      if (i >= pieceCount) break;
      lo = hi = i;
    }
    int& allowance = *sources[static_cast<size_t>(i)].allowance;
    int k = std::min(allowance, (hi - lo + 5) / 5);
    k = std::max(std::min(hi - lo + 1, k), 1);
    const int length = (hi - lo + 1) / k;
    for (int j = 0; j < k; ++j) {
      auto segment = std::make_unique<Segment>();
      segment->start = segment->current = lo + length * j;
      segment->end = j + 1 == k ? hi : segment->start + length - 1;
      segment->source = sources[static_cast<size_t>(i)].source;
      segment->assignedAt = now;
      segments_.push_back(std::move(segment));
    }
    allowance = k;
  }
  return true;
}

void SegmentList::Give(Segment& segment, SegmentHolder& connection, int64_t now) {
  segment.holder = &connection;
  segment.assignedAt = now;
  connection.segment = &segment;
  ++connection.segmentCount;
}

bool SegmentList::Assign(SegmentHolder& c, int64_t now, uint32_t tick) {
  if (segments_.empty()) return false;
  auto usable = [](const Segment& s) { return !s.finished && !s.retired && !s.holder; };

  // The segment that continues where this connection stopped.
  if (c.lastPiece != -1)
    for (auto& s : segments_)
      if (usable(*s) && c.lastPiece + 1 == s->current) return Give(*s, c, now), true;

  // A free segment, the search starting at a rotating place.
  std::vector<Segment*> order;
  for (auto& s : segments_) order.push_back(s.get());
  const size_t k = tick % order.size();
  std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end());
  for (Segment* s : order)
    if (usable(*s) && !s->restart) return Give(*s, c, now), true;

  // A stalled segment, or one handed back with pieces still in progress.
  for (auto& s : segments_) {
    if (s->finished && !s->restart) continue;
    if (s->current == s->start && !s->restart && s->started == 0 && now - s->assignedAt > 10 &&
        s->holder && s->holder != &c) {
      SegmentHolder* stalled = s->holder;
      stalled->segment = nullptr;
      s->holder = nullptr;
      stalled->GiveUpSegment();
      return Give(*s, c, now), true;
    }
    if (!s->holder && s->restart) return Give(*s, c, now), true;
  }
  return Split(c, now);
}

bool SegmentList::Split(SegmentHolder& c, int64_t now) {
  if (c.speed < 1 && c.segmentCount > 0) return false;
  Segment* r = PickToSplit(c, now);
  if (!r) return false;
  while (r->end > r->current && !pieces_.IsWanted(r->end)) --r->end;
  const int64_t n = r->end - r->current + 1;
  const int64_t h = r->holder ? r->holder->speed : 0;
  const bool muchFaster = 2 * h < c.speed;
  int64_t share = c.segmentCount == 0 ? 50 : (h + c.speed > 0 ? int64_t{c.speed} * 100 / (h + c.speed) : 50);
  if (share < 100 && muchFaster) ++share;
  int64_t k = n < 2 ? 1 : n * share / 100;
  if (k < n && muchFaster) ++k;
  if (k <= 0) return false;

  auto fresh = std::make_unique<Segment>();
  fresh->start = fresh->current = static_cast<int>(r->end - k + 1);
  fresh->end = r->end;
  fresh->source = c.sourceKey;
  Give(*fresh, c, now);
  r->end = std::max(fresh->start - 1, r->current);
  r->assignedAt = now;
  segments_.push_back(std::move(fresh));
  SegmentHolder* slow = r->holder;
  const bool closed = slow && CloseIfDone(*slow);  // may free r
  if (!closed && slow && r->current == r->end && r->end == c.segment->start && 3 * h <= c.speed) {
    // The holder's last piece now belongs to the faster connection.
    r->finished = 1;
    slow->segment = nullptr;
    r->holder = nullptr;
    slow->GiveUpSegment();
  }
  return true;
}

Segment* SegmentList::PickToSplit(const SegmentHolder& c, int64_t now) const {
  const bool lastFew = pieces_.PieceCount() - pieces_.FinishedPieces() < 4;
  for (int pass = 0; pass < 2; ++pass) {
    Segment* best = nullptr;
    int64_t bestEstimate = -1;
    for (const auto& s : segments_) {
      const SegmentHolder* h = s->holder;
      if (!h || s->finished || h == &c) continue;
      const int64_t m = s->end - s->current + 1;
      const bool moving = pass == 0 ? (now - s->assignedAt > 10 || h->speed != 0)
                                    : (now - s->assignedAt > 3 || m > 1);
      const bool worth = m != 1 || h->speed == 0 || (h->speed > 0 && c.speed / h->speed > 1);
      if (!moving || !worth) continue;
      const int64_t estimate = h->speed == 0 ? INT_MAX : m * pieces_.PieceLength() / h->speed;
      if (estimate <= 10 && !lastFew) continue;
      if (estimate > bestEstimate) {
        best = s.get();
        bestEstimate = estimate;
        if (estimate == INT_MAX) return best;
      }
    }
    if (best || c.segmentCount != 0) return best;
  }
  return nullptr;
}

bool SegmentList::CloseIfDone(SegmentHolder& c) {
  Segment* s = c.segment;
  if (!s || s->current != s->end || pieces_.IsWanted(s->end)) return false;
  s->finished = 1;
  s->restart = 0;
  for (int piece = s->start; piece <= s->end && !s->restart; ++piece)
    if (pieces_.InProgress(piece)) s->restart = 1;
  c.segment = nullptr;
  if (s->restart) {
    s->holder = nullptr;
  } else {
    Remove(s);
  }
  return true;
}

Segment* SegmentList::AddFront(int start, int end, SegmentHolder& c, int64_t now) {
  auto segment = std::make_unique<Segment>();
  segment->start = segment->current = start;
  segment->end = end;
  segment->source = c.sourceKey;
  Segment* made = segment.get();
  segments_.push_front(std::move(segment));
  Give(*made, c, now);
  return made;
}

bool SegmentList::HasUnfinished() const {
  return std::any_of(segments_.begin(), segments_.end(), [](const auto& s) { return !s->finished; });
}

void SegmentList::Drop(Segment* segment) {
  if (segment && segment->holder) segment->holder->segment = nullptr;
  Remove(segment);
}

void SegmentList::Detach(SegmentHolder& c) {
  if (c.segment) c.segment->holder = nullptr;
  c.segment = nullptr;
}

}  // namespace pf
