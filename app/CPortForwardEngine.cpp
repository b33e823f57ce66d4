#include "app/CPortForwardEngine.h"

#include <system_error>
#include <utility>

#include "platform/ThreadIdentity.h"

namespace pf {

CPortForwardEngine::CPortForwardEngine(PortMappingOutlet outlet) : outlet_(std::move(outlet)) {}

CPortForwardEngine::~CPortForwardEngine() { Reset(); }

void CPortForwardEngine::Reset() {
  stopping_ = true;
  if (gatewaySearched_) gatewaySearched_->Set();  // wakes a mapping that waits for the search
  if (deviceInfo_.joinable()) deviceInfo_.join();
  if (addMap_.joinable()) addMap_.join();
  gatewaySearched_ = nullptr;
  stopping_ = false;
}

bool CPortForwardEngine::StartDeviceInfo(Notify notify) {
  try {
    deviceInfo_ = std::thread([this, notify = std::move(notify)] { DeviceInfoThread(notify); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool CPortForwardEngine::StartAddMap(PortMappingRequest request, Notify notify,
                                     platform::ManualResetEvent& gatewaySearched) {
  try {
    addMap_ = std::thread([this, request = std::move(request), notify = std::move(notify), &gatewaySearched] {
      AddMapThread(request, notify, gatewaySearched);
    });
  } catch (const std::system_error&) {
    return false;
  }
  gatewaySearched_ = &gatewaySearched;
  return true;
}

GatewayInfo CPortForwardEngine::Gateway() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gateway_;
}

void CPortForwardEngine::DeviceInfoThread(const Notify& notify) {
  platform::MarkBackgroundThread("DevInfo");
  notify(PortForwardNote::kDeviceInfoStep, kDeviceInfoStarted);
  notify(PortForwardNote::kDeviceInfoStep, kDeviceInfoFinderReady);
  const std::vector<UpnpDevice> devices = SearchUpnpDevices(kGatewayDeviceType, kSearchWaitMs);
  notify(PortForwardNote::kDeviceInfoStep, kDeviceInfoSearchDone);
  GatewayInfo info;
  bool lastRead = false;  // nothing read when nothing answered
  for (const UpnpDevice& device : devices) {
    if (stopping_) break;
    notify(PortForwardNote::kDeviceInfoStep, kDeviceInfoDeviceRead);
    GatewayInfo read;
    lastRead = ReadUpnpDevice(device, &read);
    info = std::move(read);  // the last device read wins
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gateway_ = std::move(info);
  }
  notify(PortForwardNote::kDeviceInfoEnd, lastRead ? kPortForwardSucceeded : kPortForwardFailed);
}

void CPortForwardEngine::AddMapThread(const PortMappingRequest& request, const Notify& notify,
                                      platform::ManualResetEvent& gatewaySearched) {
  platform::MarkBackgroundThread("AddMap");
  if (!gatewaySearched.WaitFor(kGatewayWaitMs)) {
    outlet_.report("11500105", "uPnP失败，获取IGD设备超时");
    return;
  }
  if (stopping_) return;
  notify(PortForwardNote::kAddMapStep, kAddMapStarted);
  const GatewayInfo gateway = Gateway();
  notify(PortForwardNote::kAddMapStep, kAddMapServiceReady);
  const int result = AddUpnpPortMapping(gateway, request);
  notify(PortForwardNote::kAddMapStep, kAddMapAddDone);
  notify(PortForwardNote::kAddMapEnd, result == 0 ? kPortForwardSucceeded : kPortForwardFailed);
}

}  // namespace pf
