#include "engine/task/TWorkWithTransStatis.h"

#include <algorithm>

#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "engine/base/ScopedLock.h"

namespace pf {

TWorkWithTransStatis::Pacing TWorkWithTransStatis::PacingFor(int64_t s) {
  const Pacing pace = s > 3145728 ? Pacing{1, 14, 0}
                    : s > 1536000 ? Pacing{2, 9, 0}
                    : s > 819200  ? Pacing{3, 7, 0}
                    : s > 307200  ? Pacing{4, 6, 0}
                                  : Pacing{5, 5, 0};
  return {pace.speedClass, pace.receiveEvery, 3 * pace.receiveEvery};
}

int64_t TWorkWithTransStatis::BudgetFromKB(int kilobytesPerSecond) {
  const int64_t limit = int64_t{kilobytesPerSecond} * 1024;
  return limit > 0 ? std::max<int64_t>(std::min(limit, kUnlimited), 3072) : kUnlimited;
}

int TWorkWithTransStatis::SendSlotsFor(int64_t uploadSpeedSum, bool reachable) {
  const int64_t a = std::max<int64_t>(uploadSpeedSum / 8192 - 8, 8);
  const int64_t s2 = uploadSpeedSum / 16384 - 8;
  int slots = static_cast<int>(s2 < a ? std::min<int64_t>(a, 20) : s2 > 48 ? 48 : s2);
  while (!reachable && slots < 6) ++slots;
  return slots;
}

bool TWorkWithTransStatis::CanServeMore() {
  return Switches().externalIp.load() != 0 && !IncomingConnections::Reachable();
}

void TWorkWithTransStatis::CountPayload(int kind, int64_t bytes) {
  if (bytes <= 0) return;
  secondPayload += bytes;
  // Every mirror's bytes count as mirror bytes, FTP's as well as HTTP's.
  if (kind & kServerKinds) live.httpBytes += bytes;
  if (kind == kBtNode) live.peerBytes += bytes;
}

void TWorkWithTransStatis::PerSecond(bool done, uint32_t secondsRunning) {
  // HTTP sources count their bytes as payload; others (BitTorrent) as raw
  // bytes as well, so whichever is larger is what came in.
  const int64_t received = std::max(secondReceived, secondPayload);
  const int64_t r = done ? secondPayload : received;
  live.currentSpeed = done ? 0 : static_cast<int>((3 * secondPayload + live.currentSpeed) / 4);
  live.downloadedTotal += r;
  live.uploadedTotal += secondSent;
  pacing = PacingFor(done ? secondSent : received);
  tickDelayMs = pacing.speedClass + 1;
  const int64_t seconds = secondsRunning > 0 ? secondsRunning : 1;
  if (!done) live.averageDownload = static_cast<int>(live.downloadedTotal / seconds);
  live.averageUpload = static_cast<int>(live.uploadedTotal / seconds);
  const int64_t missing = static_cast<int64_t>(live.pieceLength) * (live.pieceCount - live.finishedPieces);
  live.remainingSeconds = downloadSpeedSum >= 1024 && (live.completeTime == 0 || !done)
                              ? static_cast<int>(std::min<int64_t>(missing / downloadSpeedSum, INT32_MAX))
                              : 0;
  connectionBudget = static_cast<int>(
      std::max<int64_t>((downloadSpeedSum + uploadSpeedSum) / 4096 + 8, kDefaultConnectionBudget));
  sendSlots = SendSlotsFor(uploadSpeedSum, IncomingConnections::Reachable());
  secondPayload = secondReceived = secondSent = 0;
  downloadLimit = BudgetFromKB(downloadLimitKBNow);
  uploadLimit = BudgetFromKB(uploadLimitKBNow);
}

void TWorkWithTransStatis::ResetAccounting() {
  secondPayload = secondReceived = secondSent = 0;
  downloadLimit = uploadLimit = 0;
  downloadSpeedSum = uploadSpeedSum = 0;
  pacing = Pacing{5, 6, 18};
  sendSlots = 6;
  tickDelayMs = 0;
  lastSecondTick = 0;
  publishPending = false;
}

}  // namespace pf
