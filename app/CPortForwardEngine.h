#pragma once
// The port-forward engine: the gateway search and the adding of the port
// mapping, each on a worker thread of its own, which tell their owner how
// far they got through notifications (a code and a step or a result).
//
// Threads: Reset and the Start calls run on the owner's thread, which alone
// touches the thread objects; the gateway info is guarded by mutex_.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/GatewayInfo.h"
#include "app/UpnpGateway.h"
#include "platform/ManualResetEvent.h"

namespace pf {

// The codes of the notifications; their values are kept because they are
// what the owner's handler switches on.
enum class PortForwardNote : int32_t {
  kDeviceInfoStep = 17,  // the gateway search's progress
  kDeviceInfoEnd = 18,   // the gateway search ended, with its result
  kAddMapStep = 33,      // the mapping's progress
  kAddMapEnd = 34,       // the mapping ended, with its result
};
inline constexpr int32_t kPortForwardSucceeded = 0;
inline constexpr int32_t kPortForwardFailed = static_cast<int32_t>(0x80004005);  // E_FAIL

// Progress steps of the gateway search and of the mapping.
inline constexpr int32_t kDeviceInfoStarted = 0;
inline constexpr int32_t kDeviceInfoFinderReady = 1;
inline constexpr int32_t kDeviceInfoSearchDone = 5;
inline constexpr int32_t kDeviceInfoDeviceRead = 6;
inline constexpr int32_t kAddMapStarted = 0;
inline constexpr int32_t kAddMapServiceReady = 1;
inline constexpr int32_t kAddMapAddDone = 2;

// Where the port mapping's log lines and telemetry events go. Both may be
// called from any thread.
struct PortMappingOutlet {
  std::function<void(const std::string& line)> log;
  std::function<void(const char* eventCode, const std::string& message)> report;
};

class CPortForwardEngine {
 public:
  // How long the gateway search waits for answers.
  static constexpr int kSearchWaitMs = 2000;
  // How long the mapping waits for the gateway search to end.
  static constexpr int kGatewayWaitMs = 60000;
  // Called on the worker threads; it must only hand the notification on.
  using Notify = std::function<void(PortForwardNote code, int32_t value)>;

  explicit CPortForwardEngine(PortMappingOutlet outlet);
  ~CPortForwardEngine();
  CPortForwardEngine(const CPortForwardEngine&) = delete;
  CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

  // Ends the threads and waits for them: a mapping still waiting for the
  // gateway search gives up without a word. The gateway info is kept.
  void Reset();
  // Starts the gateway search; false when its thread does not start.
  bool StartDeviceInfo(Notify notify);
  // Starts the mapping, which waits for `gatewaySearched` (at most
  // kGatewayWaitMs) before it adds `request` on the gateway last read;
  // false when its thread does not start. The event must outlive the thread.
  bool StartAddMap(PortMappingRequest request, Notify notify, platform::ManualResetEvent& gatewaySearched);
  // A copy of the last gateway read.
  GatewayInfo Gateway() const;

 private:
  void DeviceInfoThread(const Notify& notify);
  void AddMapThread(const PortMappingRequest& request, const Notify& notify,
                    platform::ManualResetEvent& gatewaySearched);

  const PortMappingOutlet outlet_;
  mutable std::mutex mutex_;
  GatewayInfo gateway_;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  // The owner's thread alone.
  std::thread deviceInfo_;
  std::thread addMap_;
  platform::ManualResetEvent* gatewaySearched_ = nullptr;
};

}  // namespace pf
