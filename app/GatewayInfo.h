#pragma once
// What the gateway search learns about the Internet gateway device, read
// from its root description; the last device read is the one mapped on.
#include <string>
#include <string_view>

namespace pf {

struct GatewayInfo {
  // Of the root device.
  std::string friendlyName;
  std::string manufacturer;
  std::string modelName;
  std::string modelNumber;
  std::string modelDescription;
  // The WAN connection service that takes port mappings; empty when the
  // device offers none.
  std::string controlUrl;
  std::string serviceType;
};

// The root device's texts from a description document; false (and `info`
// untouched) when the text is not XML with a root device.
bool ParseGatewayDescription(std::string_view xml, GatewayInfo* info);

}  // namespace pf
