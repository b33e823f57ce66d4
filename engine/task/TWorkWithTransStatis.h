#pragma once
#include <atomic>
#include <cstdint>

#include "engine/task/TWorkWithPieces.h"

namespace pf {

// Fourth layer of the work object: per-second transfer accounting, rate
// budgets and the pacing of the work loop.
class TWorkWithTransStatis : public TWorkWithPieces {
 public:
  static constexpr int kDefaultTickDelayMs = 6;
  // A limit of 0 (or less) counts as this many bytes a second.
  static constexpr int64_t kUnlimited = 1048576000;

  // How often the loop services connections, from the bytes of a second.
  struct Pacing {
    int speedClass;    // 1 (fast) ... 5; the tick delay is this + 1 ms
    int receiveEvery;  // ticks between services of a slow connection
    int sendEvery;
  };
  static Pacing PacingFor(int64_t bytesInSecond);
  // Bytes a second from a limit in KB/s: never below 3072, 0 = unlimited.
  static int64_t BudgetFromKB(int kilobytesPerSecond);
  // BitTorrent sends allowed per tick from the upload speed; a listener not
  // yet reached from outside gets at least 6.
  static int SendSlotsFor(int64_t uploadSpeedSum, bool reachable);

  // Whether more peers may be tried over the UDP connection layer: only
  // while peers from outside cannot reach our listener but our outside
  // address is known.
  static bool CanServeMore();
  // What may still be sent in the current second (the download side is the
  // work's ReceiveAllowance).
  int64_t RemainingUploadBudget() const { return uploadLimit > secondSent ? uploadLimit - secondSent : 0; }

 protected:
  // Clears the per-second counters, budgets and pacing.
  void ResetAccounting();

  // Books payload bytes received from a source of the given kind
  // (1 BitTorrent peer, 2 HTTP, 4 FTP).
  void CountPayload(int kind, int64_t bytes);
  // Once a second: speed, totals, averages and the estimate into the live
  // status; the pacing, send slots and connection budget for the next
  // second; then the counters start again under the current limits.
  void PerSecond(bool done, uint32_t secondsRunning);

  // The limits (KB/s) as callers last set them; the work thread reads
  // these, not the task's configuration, which callers change under the
  // task lock. Everything after them is the work thread's alone.
  std::atomic<int> downloadLimitKBNow{0};
  std::atomic<int> uploadLimitKBNow{0};
  int64_t secondPayload = 0;
  int64_t secondReceived = 0;  // raw bytes read from connections this second
  int64_t secondSent = 0;
  int64_t downloadLimit = 0;   // budgets of the current second
  int64_t uploadLimit = 0;
  int64_t downloadSpeedSum = 0;  // the connections' window speeds
  int64_t uploadSpeedSum = 0;
  Pacing pacing{5, 6, 18};
  int sendSlots = 6;
  int tickDelayMs = 0;          // chosen by the accounting; 0 = unset
  uint32_t lastSecondTick = 0;  // tick count of the last per-second pass
  bool publishPending = false;
};

}  // namespace pf
