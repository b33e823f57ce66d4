#include "app/PortMapping.h"

#include <arpa/inet.h>

#include <cstdio>
#include <utility>

#include "engine/base/CPelicanfetchLog.h"
#include "platform/LocalAddress.h"
#include "telemetry/ReportingCalls.h"

namespace pf {

bool NeedsPortMapping(const std::string& address) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&parsed.s_addr);
  const int a = bytes[0], b = bytes[1];
  return a <= 6 || a == 10 || a == 127 || (a == 192 && b == 168) || (a == 169 && b == 254) ||
         (a == 172 && b >= 16 && b <= 31);
}

PortMappingOutlet StandardPortMappingOutlet() {
  return {[](const std::string& line) { LogLine(kLogPortMapping, "%s", line.c_str()); },
          [](const char* eventCode, const std::string& message) { ReportEvent(eventCode, message.c_str(), 0); }};
}

PortMapping::PortMapping(PortMappingOutlet outlet, Post post)
    : outlet_(outlet), post_(std::move(post)), engine_(std::move(outlet)) {}

PortMapping::~PortMapping() { Stop(); }

void PortMapping::Stop() { engine_.Reset(); }

void PortMapping::Fail(const char* text) {
  outlet_.report("11500105", text);
  outlet_.log(text);
}

int PortMapping::Start(const std::function<int()>& choosePort) {
  const int port = choosePort();
  if (port == 0) {
    Fail("没有可用的端口，uPnP失败");
    return 0;
  }
  const std::string address = platform::LocalIpv4Address();
  if (address.empty()) {
    Fail("无法获取本地ip，uPnP失败");
    return 0;
  }
  if (!NeedsPortMapping(address)) {
    const std::string text = "无需uPnP：本机直通外网" + address;
    outlet_.report("11390001", text);
    outlet_.log(text);
    return port;
  }

  mappingStarted_ = true;
  engine_.Reset();
  gatewaySearched_.Reset();
  const CPortForwardEngine::Notify notify = [this](PortForwardNote code, int32_t value) {
    post_([this, code, value] { OnNotification(code, value); });
  };
  if (!engine_.StartDeviceInfo(notify)) {
    Fail("IGD设备信息线程创建失败");
    return 0;
  }
  outlet_.log("IGD设备信息线程已创建");
  const std::string portText = std::to_string(port);
  PortMappingRequest request{"", portText, portText, "TCP", address, "Yes", kPortMappingDescription};
  if (!engine_.StartAddMap(std::move(request), notify, gatewaySearched_)) {
    Fail("uPnP线程创建失败");
    return 0;
  }
  outlet_.log("uPnP线程已创建");
  return port;
}

void PortMapping::OnNotification(PortForwardNote code, int32_t value) {
  switch (code) {
    case PortForwardNote::kDeviceInfoEnd:
      if (value >= 0) {
        const GatewayInfo gateway = engine_.Gateway();
        gatewayFound_ = !gateway.modelName.empty();
        outlet_.log(gatewayFound_ ? "NAT Device found : Name : <" + gateway.modelName + ">"
                                  : std::string("NAT device ^Not^ found.."));
      }
      gatewaySearched_.Set();
      break;
    case PortForwardNote::kAddMapEnd:
      if (value < 0) {
        Fail(gatewayFound_ ? "IGD设备已找到，但是uPnP依然失败"
                           : "uPnP失败，因为没有IGD设备信息");
      } else {
        outlet_.log("uPnP成功");
        outlet_.report("11390000", "");
      }
      break;
    default:
      break;
  }
}

}  // namespace pf
