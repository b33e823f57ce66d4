#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/task/TWorkThread.h"

namespace pf {
namespace {

// A work object over a bare piece map that records the have batches it
// would send to its BitTorrent connections.
class SchedulingWork : public TWorkThread {
 public:
  SchedulingWork() {
    pieces = RefPtr<TPieces>::Make(nullptr);
    pieces->SetContent("t", 10 * 16384, 16384, std::string(10 * 20, 'h'), {}, false);
  }
  void FinishStartupCheck() { pieces->checkedBytes = pieces->totalLength; }
  void SendHaveBatch(const std::string& batch) override { sent.push_back(batch); }
  std::vector<std::string> sent;
};

TEST(TWorkWithPieces, PiecesHeldAfterTheStartupCheckAreAnnouncedOnceAndDisengaged) {
  SchedulingWork work;
  work.OnPieceHeld(2, true);  // found by the start-up check: the bitfield tells it
  work.AnnounceHeldPieces(100);
  EXPECT_TRUE(work.sent.empty());

  work.FinishStartupCheck();
  ASSERT_TRUE(work.EngagePiece(3, true, false));
  ASSERT_TRUE(work.EngagePiece(3, true, false));
  work.OnPieceHeld(3, true);
  work.OnPieceHeld(3, true);
  work.OnPieceHeld(4, false);
  EXPECT_FALSE(work.EngagePiece(3, false, false)) << "a held piece has no peers on it any more";
  work.AnnounceHeldPieces(200);
  ASSERT_EQ(work.sent.size(), 1u);
  EXPECT_EQ(work.sent[0], std::string("\0\0\0\x05\x04\0\0\0\x03", 9));
}

}  // namespace
}  // namespace pf
