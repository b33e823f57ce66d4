#include "engine/task/TrackerEvents.h"

#include <algorithm>

#include "engine/wire/TrackerAnnounce.h"

namespace pf {

size_t TrackerEvents::IndexOf(const TPeerId& tracker) const {
  size_t i = 0;
  while (i < known_.size() && known_[i].tracker.get() != &tracker) ++i;
  return i;
}

int32_t TrackerEvents::Next(const TPeerId& tracker) const {
  const size_t i = IndexOf(tracker);
  if (i == known_.size()) return TrackerAnnounce::kEventStarted;
  if (known_[i].completedDue) return TrackerAnnounce::kEventCompleted;
  return stopping_ ? TrackerAnnounce::kEventStopped : TrackerAnnounce::kEventStarted;
}

void TrackerEvents::Answered(TPeerId& tracker, int32_t event) {
  const size_t i = IndexOf(tracker);
  if (i == known_.size()) {
    // A tracker first reached as the run ends has nothing to be told.
    if (event != TrackerAnnounce::kEventStarted || stopping_) return;
    known_.push_back({RefPtr<TPeerId>::Share(&tracker)});
    return;
  }
  if (event == TrackerAnnounce::kEventCompleted) known_[i].completedDue = false;
  if (event == TrackerAnnounce::kEventStopped) known_[i].stoppedAnswered = true;
}

std::vector<RefPtr<TPeerId>> TrackerEvents::Completed() {
  std::vector<RefPtr<TPeerId>> due;
  for (Entry& entry : known_) {
    entry.completedDue = true;
    due.push_back(entry.tracker);
  }
  return due;
}

std::vector<RefPtr<TPeerId>> TrackerEvents::Stopping() {
  stopping_ = true;
  std::vector<RefPtr<TPeerId>> due;
  for (const Entry& entry : known_)
    if (!entry.stoppedAnswered) due.push_back(entry.tracker);
  return due;
}

bool TrackerEvents::Owed(const TPeerId& tracker) const {
  const size_t i = IndexOf(tracker);
  return stopping_ && i < known_.size() && !known_[i].stoppedAnswered;
}

bool TrackerEvents::AnyOwed() const {
  return stopping_ && std::any_of(known_.begin(), known_.end(), [](const Entry& e) { return !e.stoppedAnswered; });
}

void TrackerEvents::Clear() {
  known_.clear();
  stopping_ = false;
}

}  // namespace pf
