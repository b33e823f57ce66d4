#pragma once
// How the package's limits are divided among the tasks still working.
#include <vector>

namespace pf {

// A rate limit (KB/s; 0 = none) as the tasks get it: split evenly among
// `activeTasks`, never below 10 KB/s each; none gives every task 32767,
// which the engine takes for unlimited.
int TaskRateShare(int rateKB, int activeTasks);
inline constexpr int kNoRateLimitKB = 32767;
inline constexpr int kMinTaskRateKB = 10;
// The range a user may set for the whole package (KB/s).
inline constexpr int kLowestRateLimitKB = 10;
inline constexpr int kHighestRateLimitKB = 30000;

// Server and peer connections of each of `activeTasks` tasks, in task
// order: the budgets split evenly, the remainders to the first tasks, each
// at least 1.
struct ConnectionShare {
  int servers;
  int peers;
};
std::vector<ConnectionShare> SplitConnectionBudgets(int httpBudget, int peerBudget, int activeTasks);
inline constexpr int kPeerConnectionBudget = 108;

}  // namespace pf
