// Which event each tracker is told next, over a run: "started" until it
// knows us, "completed" once after a download, "stopped" at the end for
// those that know us only, until they answered it.
#include "engine/task/TrackerEvents.h"

#include <gtest/gtest.h>

#include "engine/wire/TrackerAnnounce.h"

namespace pf {
namespace {

constexpr int32_t kStarted = TrackerAnnounce::kEventStarted;
constexpr int32_t kCompleted = TrackerAnnounce::kEventCompleted;
constexpr int32_t kStopped = TrackerAnnounce::kEventStopped;

TEST(TrackerEvents, EachTrackerHearsOfTheRunsTurnsOnceItKnowsUs) {
  TrackerEvents events;
  auto known = TPeerId::MakeBtNode(0x0100007F, 1);
  auto late = TPeerId::MakeBtNode(0x0100007F, 2);   // answers only after the download
  auto never = TPeerId::MakeBtNode(0x0100007F, 3);  // never answers
  EXPECT_EQ(events.Next(*known), kStarted);
  events.Answered(*known, kStarted);
  EXPECT_EQ(events.Next(*known), kStarted) << "a later announce of the run";

  EXPECT_EQ(events.Completed().size(), 1u) << "only a tracker that knows us as a leecher";
  EXPECT_EQ(events.Next(*known), kCompleted);
  EXPECT_EQ(events.Next(*late), kStarted);
  events.Answered(*late, kStarted);
  events.Answered(*known, kCompleted);
  EXPECT_EQ(events.Next(*known), kStarted) << "completed is told once";

  EXPECT_EQ(events.Stopping().size(), 2u);
  EXPECT_TRUE(events.Owed(*known));
  EXPECT_FALSE(events.Owed(*never));
  EXPECT_EQ(events.Next(*known), kStopped);
  events.Answered(*never, kStarted);  // its first answer comes as the run ends
  EXPECT_FALSE(events.Owed(*never)) << "a tracker that never listed us is not told we leave";
  events.Answered(*known, kStopped);
  EXPECT_TRUE(events.AnyOwed());
  events.Answered(*late, kStopped);
  EXPECT_FALSE(events.AnyOwed());

  events.Clear();
  EXPECT_EQ(events.Next(*known), kStarted) << "the next run starts afresh";
}

TEST(TrackerEvents, ACompletedStillOwedGoesOutBeforeTheStopped) {
  TrackerEvents events;
  auto tracker = TPeerId::MakeBtNode(0x0100007F, 1);
  events.Answered(*tracker, kStarted);
  events.Completed();
  events.Stopping();
  EXPECT_EQ(events.Next(*tracker), kCompleted);
  events.Answered(*tracker, kCompleted);
  EXPECT_EQ(events.Next(*tracker), kStopped);
  EXPECT_TRUE(events.Owed(*tracker));
}

}  // namespace
}  // namespace pf
