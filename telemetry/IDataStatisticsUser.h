#pragma once
// The statistics component: validates telemetry events, batches them and
// posts them to the statistics server. Callers hold it through this
// interface only, so that other programs can reuse the component.
#include <cstdint>
#include <memory>

namespace pf {

// Results shared by every operation of the component.
enum DataStatisticsResult : int {
  kStatNothingDone = 0,  // no configuration, null arguments, empty batch, no server took it
  kStatOk = 1,
  kStatDeviceInputKeywordMissing = 10,
  kStatInputKeywordMissing = 11,
  kStatDeviceSubmitKeywordMissing = 12,
  kStatSubmitKeywordMissing = 13,
  kStatException = 16,
  kStatBatchFull = 18,
  kStatRulesUnavailable = 20,
  kStatBodyNotBuilt = 21,
};

// Device-detail flags of an event.
enum DataStatisticsFlags : uint32_t {
  kStatWithProcessor = 1,
  kStatWithMemory = 2,
  kStatWithVideoCard = 4,
};

class IDataStatisticsUser {
 public:
  virtual ~IDataStatisticsUser() = default;

  // Single-event posts to the addresses of their own sections. Code "0" of
  // SubmitDeviceInfo asks for the device inventory, which is not sent.
  virtual int SubmitDeviceInfo(const char* code, const char* body, uint32_t flags) = 0;
  virtual int SubmitEventUpdt(const char* code, const char* body, uint32_t flags) = 0;
  virtual int SubmitEventDownload(const char* code, const char* body, uint32_t flags) = 0;
  // Full path of the INI file; empty means "Serverlist.ini".
  virtual int SetConfigPath(const char* path) = 0;
  // Checks one event against the keyword rules and queues it for the batch.
  virtual int AddEvent(const char* code, const char* body, uint32_t flags) = 0;
  // Posts the queued events as one request; the queue is emptied whatever
  // the outcome.
  virtual int SubmitEventDownloadSeveral() = 0;
  // Writes "0x########, 0x########" (22 characters) and its terminator, so
  // *size must be at least 23; a smaller buffer gets nothing and the result
  // is the text's length.
  virtual int GetMachineIdText(char* buffer, uint32_t* size) = 0;
};

inline constexpr const char* kDataStatisticsInterfaceId = "{91095A15-3C46-43b5-BA5F-462064037E59}";

// Stores a new component in *out when the id names this interface (compared
// without regard to case); leaves *out alone otherwise. Always returns 0.
int CreateDataStatisticsUser(const char* interfaceId, std::unique_ptr<IDataStatisticsUser>* out);

}  // namespace pf
