#include "app/GatewayInfo.h"

#include <tinyxml2.h>

namespace pf {
namespace {

std::string TextOf(const tinyxml2::XMLElement* device, const char* name) {
  const tinyxml2::XMLElement* e = device->FirstChildElement(name);
  const char* text = e ? e->GetText() : nullptr;
  return text ? text : "";
}

}  // namespace

bool ParseGatewayDescription(std::string_view xml, GatewayInfo* info) {
  tinyxml2::XMLDocument doc;
  if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) return false;
  const tinyxml2::XMLElement* device = doc.RootElement()->FirstChildElement("device");
  if (!device) return false;
  info->friendlyName = TextOf(device, "friendlyName");
  info->manufacturer = TextOf(device, "manufacturer");
  info->modelName = TextOf(device, "modelName");
  info->modelNumber = TextOf(device, "modelNumber");
  info->modelDescription = TextOf(device, "modelDescription");
  return true;
}

}  // namespace pf
