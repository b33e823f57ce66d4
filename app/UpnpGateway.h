#pragma once
// The UPnP calls of the port mapping, through libminiupnpc: the search for
// Internet gateway devices, the reading of one device's description and the
// adding of a port mapping on it. Each call blocks; the port-forward engine
// makes them on its own threads.
#include <string>
#include <vector>

#include "app/GatewayInfo.h"

namespace pf {

inline constexpr const char* kGatewayDeviceType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

struct UpnpDevice {
  std::string descriptionUrl;
  unsigned scopeId = 0;  // of an IPv6 link-local address
};

// What the mapping asks of the gateway; all texts, as the gateway takes them.
struct PortMappingRequest {
  std::string remoteHost;  // empty: any
  std::string externalPort;
  std::string internalPort;
  std::string protocol;
  std::string internalClient;
  std::string enabled;  // "Yes": the library always asks for an enabled mapping
  std::string description;
};

// Searches the local network (SSDP) for devices of `deviceType`, answers
// waited for at most `waitMs`; in the order they answered.
std::vector<UpnpDevice> SearchUpnpDevices(const char* deviceType, int waitMs);

// Fetches the device's root description into `info` (its texts and its WAN
// connection service); false when it could not be fetched or read.
bool ReadUpnpDevice(const UpnpDevice& device, GatewayInfo* info);

// Adds the mapping on the gateway's WAN connection service: 0 on success,
// else the gateway's UPnP error code or a negative library error.
int AddUpnpPortMapping(const GatewayInfo& gateway, const PortMappingRequest& request);

}  // namespace pf
