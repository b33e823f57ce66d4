#pragma once
// The member list of one reported event: 23 string members, each caller
// text inserted as it is. The server parses these texts itself, so they are
// deliberately not JSON-escaped here.
#include <cstdint>
#include <string>

namespace pf {

struct TransferEvent {
  std::string serverIp, httpResult, progress, fileName, url, errorMsg;
  uint32_t totalTime = 0, inTime = 0, corruptPakId = 0;
  uint64_t totalBytes = 0, inTotalBytes = 0, averageSpeed = 0;
  uint64_t httpTotalBytes = 0, inHttpTotalBytes = 0, httpAverageSpeed = 0;
  uint64_t p2pTotalBytes = 0, inP2pTotalBytes = 0, p2pAverageSpeed = 0;
};

struct ReporterIdentity {
  std::string gameId, appVersion, gVersion, dChannel;
};

std::string FormatTransferBody(const ReporterIdentity& who, const TransferEvent& event);

// The growth of a running total since the last report. A 0 total says
// nothing (no figure yet) and leaves the memory alone; a total that did not
// grow gives 0 and is remembered, so the next delta starts from it.
uint64_t DeltaSinceLast(uint64_t value, uint64_t* remembered);

}  // namespace pf
