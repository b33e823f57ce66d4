#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace pf {

// Pieces that became held since the last announcement. They are told to the
// BitTorrent peers in few large writes every several seconds rather than one
// 9-byte message per piece as it arrives.
class HaveQueue {
 public:
  static constexpr uint32_t kIntervalSeconds = 7;
  static constexpr size_t kMessageSize = 9;
  static constexpr size_t kBatchMessages = 4097;

  // Queues the piece unless it is queued already; true when added.
  bool Add(int piece);
  bool Empty() const { return pieces_.empty(); }
  size_t Size() const { return pieces_.size(); }
  // When the queue is not empty and more than kIntervalSeconds passed since
  // the last announcement (monotonic seconds): the queued pieces as "have"
  // messages, at most kBatchMessages per batch, in queue order. The queue is
  // then empty and `now` is the last announcement. Nothing otherwise.
  std::vector<std::string> TakeDue(uint32_t now);
  void Clear();

 private:
  std::vector<int> pieces_;
  std::unordered_set<int> queued_;
  uint32_t lastAnnounced_ = 0;
};

}  // namespace pf
