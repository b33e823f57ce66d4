#pragma once
#include <cstdint>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/net/TPeerId.h"

namespace pf {

// Which event each tracker of a task's run is told next. Every announce
// says "started" until the tracker knows us; a download that completes in
// the run tells each tracker that knows us "completed" once; when the run
// ends, those trackers are told "stopped", so that our port does not stay
// listed after we left. The work thread's alone.
class TrackerEvents {
 public:
  // The event (a TrackerAnnounce event) the next announce to `tracker` carries.
  int32_t Next(const TPeerId& tracker) const;
  // `tracker` answered an announce that carried `event`.
  void Answered(TPeerId& tracker, int32_t event);
  // The download completed in this run; the trackers that know us, each due
  // a "completed" now.
  std::vector<RefPtr<TPeerId>> Completed();
  // The run ends; the trackers still to be told so.
  std::vector<RefPtr<TPeerId>> Stopping();
  // Whether `tracker` is still to be told of the run's end.
  bool Owed(const TPeerId& tracker) const;
  bool AnyOwed() const;
  // A new run: no tracker knows us.
  void Clear();

 private:
  struct Entry {
    RefPtr<TPeerId> tracker;
    bool completedDue = false;
    bool stoppedAnswered = false;
  };
  // known_'s entry for `tracker`, or known_.size().
  size_t IndexOf(const TPeerId& tracker) const;

  std::vector<Entry> known_;  // trackers that answered an announce of ours
  bool stopping_ = false;
};

}  // namespace pf
