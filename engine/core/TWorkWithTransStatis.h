#pragma once
#include <cstdint>

#include "engine/core/TWorkWithPieces.h"

namespace pf {

// Fourth layer of the work object: per-second transfer accounting, rate
// budgets and the pacing of the work loop.
class TWorkWithTransStatis : public TWorkWithPieces {
 public:
  static constexpr int kDefaultTickDelayMs = 6;

 protected:
  // Clears the per-second counters, budgets and pacing.
  void ResetAccounting();

  // Books payload bytes received from a source of the given kind
  // (1 BitTorrent peer, 2 HTTP, 4 FTP).
  void CountPayload(int kind, int64_t bytes);
  // Once a second: speed, totals and averages into the live status.
  void PerSecond(bool done, uint32_t secondsRunning);

  int64_t secondPayload = 0;
  int tickDelayMs = 0;          // chosen by the accounting; 0 = unset
  uint32_t lastSecondTick = 0;  // tick count of the last per-second pass
  bool publishPending = false;
};

}  // namespace pf
