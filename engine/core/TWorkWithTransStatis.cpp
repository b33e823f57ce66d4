#include "engine/core/TWorkWithTransStatis.h"

namespace pf {

void TWorkWithTransStatis::CountPayload(int kind, int64_t bytes) {
  if (bytes <= 0) return;
  secondPayload += bytes;
  if (kind == 2) live.httpBytes += bytes;
  if (kind == 1) live.peerBytes += bytes;
}

void TWorkWithTransStatis::PerSecond(bool done, uint32_t secondsRunning) {
  const int64_t received = secondPayload;
  live.currentSpeed = done ? 0 : static_cast<int>((3 * received + live.currentSpeed) / 4);
  live.downloadedTotal += received;
  const int64_t seconds = secondsRunning > 0 ? secondsRunning : 1;
  if (!done) live.averageDownload = static_cast<int>(live.downloadedTotal / seconds);
  live.averageUpload = static_cast<int>(live.uploadedTotal / seconds);
  const int64_t missing = static_cast<int64_t>(live.pieceLength) * (live.pieceCount - live.finishedPieces);
  live.remainingSeconds =
      live.currentSpeed >= 1024 && !done ? static_cast<int>(missing / live.currentSpeed) : 0;
  // Faster transfers tick more often.
  const int speedClass = received > 3145728 ? 1 : received > 1536000 ? 2 : received > 819200 ? 3
                       : received > 307200 ? 4 : 5;
  tickDelayMs = speedClass + 1;
  secondPayload = 0;
}

void TWorkWithTransStatis::ResetAccounting() {
  secondPayload = 0;
  tickDelayMs = 0;
  lastSecondTick = 0;
  publishPending = false;
}

}  // namespace pf
