#include "telemetry/ReportingCalls.h"

namespace pf {

void ReportTransfer(const char*, const char*, const char*, uint32_t, uint64_t, uint64_t, const char*,
                    uint64_t, uint64_t, uint64_t, uint64_t, uint32_t, const char*, const char*,
                    const char*, uint32_t) {
  // No upload thread runs yet, so the event is dropped, as it is whenever
  // telemetry is not configured.
}

void ReportEvent(const char*, const char*, uint32_t) {
  // Dropped for the same reason as ReportTransfer's events.
}

}  // namespace pf
