#include "app/ResourceListDocument.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>

namespace pf {
namespace {

using tinyxml2::XMLElement;

bool Parse(tinyxml2::XMLDocument& doc, std::string_view text) {
  return doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS && doc.RootElement() != nullptr;
}

const XMLElement* Path(const XMLElement* from, std::initializer_list<const char*> names) {
  for (const char* name : names) from = from ? from->FirstChildElement(name) : nullptr;
  return from;
}

std::string TextOf(const XMLElement* e) {
  const char* text = e ? e->GetText() : nullptr;
  return text ? text : "";
}

bool Named(const XMLElement* e, const char* name) { return std::strcmp(e->Name(), name) == 0; }

bool Present(const XMLElement* e, const char* attribute) {
  const char* value = e->Attribute(attribute);
  return value && *value;
}

// A text the engine's source list would split or misread.
bool Garbled(const std::string& text) {
  return text.empty() || std::any_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
         });
}

void ReadCdn(const XMLElement* cdn, int file, std::vector<ResourceListMirror>& mirrors) {
  if (!Present(cdn, "id") || !Present(cdn, "name") || !Present(cdn, "middle-dir") || !Present(cdn, "file-name") ||
      !cdn->BoolAttribute("open", false))
    return;
  const char* host = cdn->Attribute("host-name");
  const std::string hostName = host && *host ? host : "null";
  const std::string tail = std::string(cdn->Attribute("middle-dir")) + cdn->Attribute("file-name");
  for (const XMLElement* ip = cdn->FirstChildElement("ip"); ip && Named(ip, "ip"); ip = ip->NextSiblingElement()) {
    const std::string address = TextOf(ip);
    const std::string url = "http://" + address + tail;
    if (Garbled(address) || Garbled(url) || Garbled(hostName)) continue;
    mirrors.push_back({file, url, hostName});
  }
}

}  // namespace

ResourceListExpiry ReadResourceListExpiry(std::string_view document) {
  tinyxml2::XMLDocument doc;
  ResourceListExpiry expiry;
  if (!Parse(doc, document)) return expiry;
  const XMLElement* info = Path(doc.RootElement(), {"configs", "expire-info"});
  expiry.expired = TextOf(Path(info, {"expired"})) == "true";
  expiry.message = TextOf(Path(info, {"message"}));
  expiry.url = TextOf(Path(info, {"url"}));
  return expiry;
}

ResourceListPlan ReadResourceList(std::string_view document, const ResourceListContext& context) {
  ResourceListPlan plan;
  tinyxml2::XMLDocument doc;
  if (!Parse(doc, document)) return plan;
  const XMLElement* root = doc.RootElement();
  if (!Named(root, "project")) return plan;
  const XMLElement* p2p = Path(root, {"configs", "p2p-switch"});
  if (!p2p) return plan;
  plan.p2pSwitch = TextOf(p2p) == "on";

  const int files = static_cast<int>(context.packageUrls.size());
  int accepted = 0;  // resources that named a package file and were not skipped as complete
  for (const XMLElement* resource = Path(root, {"resources", "resource"});
       resource && Named(resource, "resource") && Present(resource, "id");
       resource = resource->NextSiblingElement()) {
    const char* task = resource->Attribute("task");
    const auto match = std::find(context.packageUrls.begin(), context.packageUrls.end(), task ? task : "");
    if (!task || !*task || match == context.packageUrls.end()) continue;
    const int file = static_cast<int>(match - context.packageUrls.begin());
    // The skip looks at the count of resources so far, not at the file named.
    if (accepted != context.fileBeingVerified && accepted < files && context.complete[accepted]) {
      ++accepted;
      continue;
    }
    for (const XMLElement* cdn = resource->FirstChildElement("cdn"); cdn && Named(cdn, "cdn");
         cdn = cdn->NextSiblingElement())
      ReadCdn(cdn, file, plan.mirrors);
    ++accepted;
  }
  plan.result = plan.mirrors.empty() ? -2 : 0;
  return plan;
}

}  // namespace pf
