#pragma once
// The engine's reporting calls: each turns its arguments into one telemetry
// event and queues it for the upload thread.
#include <cstdint>

namespace pf {

void ReportTransfer(const char* eventCode, const char* serverIp, const char* httpResult,
                    uint32_t totalTime, uint64_t totalBytes, uint64_t averageSpeed,
                    const char* progress, uint64_t httpTotalBytes, uint64_t httpAverageSpeed,
                    uint64_t p2pTotalBytes, uint64_t p2pAverageSpeed, uint32_t corruptPakId,
                    const char* fileName, const char* url, const char* errorMsg, uint32_t flags);

// One event with a free-form message (diagnostics such as a failed name lookup).
void ReportEvent(const char* eventCode, const char* message, uint32_t flags);

}  // namespace pf
