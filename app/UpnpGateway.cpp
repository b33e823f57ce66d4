#include "app/UpnpGateway.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdlib>
#include <memory>

namespace pf {
namespace {

constexpr unsigned char kSearchTtl = 2;
// The library's code when the gateway's description had no WAN connection
// service to add the mapping on.
constexpr int kNoConnectionService = -1;

}  // namespace

std::vector<UpnpDevice> SearchUpnpDevices(const char* deviceType, int waitMs) {
  int error = 0;
  // No minissdpd socket: the search always goes to the network.
  UPNPDev* list = upnpDiscoverDevice(deviceType, waitMs, nullptr, "", UPNP_LOCAL_PORT_ANY, 0, kSearchTtl, &error);
  const std::unique_ptr<UPNPDev, void (*)(UPNPDev*)> owner(list, freeUPNPDevlist);
  std::vector<UpnpDevice> devices;
  for (const UPNPDev* d = list; d; d = d->pNext)
    if (d->descURL) devices.push_back({d->descURL, d->scope_id});
  return devices;
}

bool ReadUpnpDevice(const UpnpDevice& device, GatewayInfo* info) {
  int size = 0;
  int status = 0;
  char* xml = static_cast<char*>(miniwget(device.descriptionUrl.c_str(), &size, device.scopeId, &status));
  const std::unique_ptr<char, void (*)(void*)> owner(xml, std::free);
  if (!xml || size <= 0 || status != 200) return false;
  GatewayInfo read;
  if (!ParseGatewayDescription(std::string_view(xml, static_cast<size_t>(size)), &read)) return false;

  IGDdatas data{};
  parserootdesc(xml, size, &data);
  UPNPUrls urls{};
  GetUPNPUrls(&urls, &data, device.descriptionUrl.c_str(), device.scopeId);
  if (urls.controlURL && data.first.servicetype[0]) {
    read.controlUrl = urls.controlURL;
    read.serviceType = data.first.servicetype;
  }
  FreeUPNPUrls(&urls);
  *info = std::move(read);
  return true;
}

int AddUpnpPortMapping(const GatewayInfo& gateway, const PortMappingRequest& request) {
  if (gateway.controlUrl.empty()) return kNoConnectionService;
  return UPNP_AddPortMapping(gateway.controlUrl.c_str(), gateway.serviceType.c_str(), request.externalPort.c_str(),
                             request.internalPort.c_str(), request.internalClient.c_str(),
                             request.description.c_str(), request.protocol.c_str(),
                             request.remoteHost.empty() ? nullptr : request.remoteHost.c_str(), "0");
}

}  // namespace pf
