#pragma once
// A task as the peer objects see it, for tests that drive one peer object
// alone: no piece map unless the test gives one, a shared request pool, a
// clock the test moves, and the counts and sources the peer reports. Tests
// override what their peer needs beyond that.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/content/TPieces.h"
#include "engine/schedule/SegmentList.h"
#include "engine/peers/PeerHost.h"
#include "support/ManualClock.h"

namespace pf::testing {

// The piece state a segment list sees when there are no pieces.
struct NoPieces : PieceStateView {
  bool IsWanted(int) const override { return false; }
  bool InProgress(int) const override { return false; }
  int PieceLength() const override { return 0; }
  int PieceCount() const override { return 0; }
  int FinishedPieces() const override { return 0; }
};

class FakePeerHost : public PeerHost {
 public:
  static constexpr int64_t kStart = 1'700'000'000;

  TPieces* HostPieces() override { return map; }
  SegmentList& HostSegments() override { return segments_; }
  std::deque<BlockRequest>& SharedRequests() override { return shared; }
  bool InEndPhase() override { return false; }
  bool HostComplete() override { return complete; }
  void OnPayload(int, int64_t bytes) override { payload += bytes; }
  void OnWasted(int64_t bytes) override { wasted += bytes; }
  void Retry(TPeerId&, SourceRetry, int) override {}
  void AddFoundSource(RefPtr<TPeerId> source) override { found.push_back(std::move(source)); }
  void SetStateCode(int) override {}
  void SetHttpStarted() override {}
  int64_t ReceiveAllowance() override { return 1 << 30; }

  std::vector<std::string> FoundUrls() const {
    std::vector<std::string> urls;
    for (const auto& source : found) urls.push_back(source->url);
    return urls;
  }

  TPieces* map = nullptr;
  std::deque<BlockRequest> shared;
  // The engine's clock while the host lives, at kStart wall seconds.
  ManualClock clock{{.wall = kStart}};
  bool complete = false;
  int64_t payload = 0;
  int64_t wasted = 0;
  std::vector<RefPtr<TPeerId>> found;

 private:
  // Segments are the servers' business; peers under test find none.
  NoPieces view_;
  SegmentList segments_{view_};
};

}  // namespace pf::testing
