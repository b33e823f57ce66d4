#include "engine/schedule/HaveQueue.h"

#include <algorithm>

namespace pf {

bool HaveQueue::Add(int piece) {
  if (piece < 0 || !queued_.insert(piece).second) return false;
  pieces_.push_back(piece);
  return true;
}

void HaveQueue::Clear() {
  pieces_.clear();
  queued_.clear();
}

std::vector<std::string> HaveQueue::TakeDue(uint32_t now) {
  std::vector<std::string> batches;
  if (pieces_.empty() || now - lastAnnounced_ <= kIntervalSeconds) return batches;
  for (size_t first = 0; first < pieces_.size(); first += kBatchMessages) {
    const size_t last = std::min(pieces_.size(), first + kBatchMessages);
    std::string& batch = batches.emplace_back();
    batch.reserve((last - first) * kMessageSize);
    for (size_t i = first; i < last; ++i) {
      const auto index = static_cast<uint32_t>(pieces_[i]);
      const char message[kMessageSize] = {0, 0, 0, 5, 4,
                                          static_cast<char>(index >> 24), static_cast<char>(index >> 16),
                                          static_cast<char>(index >> 8), static_cast<char>(index)};
      batch.append(message, kMessageSize);
    }
  }
  Clear();
  lastAnnounced_ = now;
  return batches;
}

}  // namespace pf
