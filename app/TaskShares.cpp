#include "app/TaskShares.h"

#include <algorithm>

namespace pf {

int TaskRateShare(int rateKB, int activeTasks) {
  // No limit stays none for every task: split, it would cap the package at
  // 32 MB/s (8 MB/s a task with four of them).
  if (rateKB == 0 || rateKB >= kNoRateLimitKB) return kNoRateLimitKB;
  const int rate = rateKB;
  const int share = activeTasks > 1 ? rate / activeTasks : rate;
  return std::max(share, kMinTaskRateKB);
}

std::vector<ConnectionShare> SplitConnectionBudgets(int httpBudget, int peerBudget, int activeTasks) {
  std::vector<ConnectionShare> shares;
  if (activeTasks <= 0) return shares;
  for (int i = 0; i < activeTasks; ++i) {
    const int servers = httpBudget / activeTasks + (i < httpBudget % activeTasks ? 1 : 0);
    const int peers = peerBudget / activeTasks + (i < peerBudget % activeTasks ? 1 : 0);
    shares.push_back({std::max(servers, 1), std::max(peers, 1)});
  }
  return shares;
}

}  // namespace pf
