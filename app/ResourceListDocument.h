#pragma once
// The server resource list: an XML document (root "project") that switches
// P2P on or off, names HTTP mirrors for the package's files, and may mark
// this build expired. Reading it changes nothing; the caller applies it.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pf {

// configs → expire-info (any root name).
struct ResourceListExpiry {
  bool expired = false;  // the text of "expired" is exactly "true"
  std::string message;
  std::string url;
};

// What the walk over the resources knows of the download.
struct ResourceListContext {
  std::array<std::string, 4> packageUrls;  // a resource's "task" names one of them
  std::array<bool, 4> complete{};
  int fileBeingVerified = -1;  // -1: none
};

struct ResourceListMirror {
  int file;               // package row
  std::string url;        // "http://" + ip + middle-dir + file-name
  std::string hostName;   // the cdn's "host-name", "null" without one
};

struct ResourceListPlan {
  // 0: mirrors to add; -2: a root other than "project", no "p2p-switch",
  // or no mirror.
  int result = -2;
  // Set when the root and the switch were there, whatever the mirrors.
  std::optional<bool> p2pSwitch;
  // In document order. Only the first one's file has its mirrors cleared
  // before it is added.
  std::vector<ResourceListMirror> mirrors;
};

// Reads the expiry; a text that is not XML is not expired.
ResourceListExpiry ReadResourceListExpiry(std::string_view document);

// Reads the P2P switch and the mirrors: resources are walked in order up to
// the first other element or the first without an "id"; a resource counts
// towards the skip of complete files when its "task" names a package file;
// a "cdn" is used when open and its id, name, middle-dir and file-name are
// set. Mirrors whose address or host name holds blanks or control
// characters are left out (they would split into other sources).
ResourceListPlan ReadResourceList(std::string_view document, const ResourceListContext& context);

}  // namespace pf
