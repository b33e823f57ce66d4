// Source address texts with any bytes: parsing either succeeds or fails,
// never reading past the text. Name lookups are answered locally so the
// fuzzer sends nothing to the network.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/net/HostResolver.h"
#include "engine/net/TPeerId.h"
#include "engine/net/UrlEscape.h"
#include "engine/net/ProxyProtocol.h"
#include "platform/HostLookup.h"

namespace {

pf::platform::HostLookupResult NoSuchHost(const std::string&) {
  pf::platform::HostLookupResult r;
  r.error = pf::platform::kHostNotFound;
  return r;
}

void Drop(const char*, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pf::platform::SetHostLookup(&NoSuchHost);
  pf::SetResolverReport(&Drop);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto id = pf::RefPtr<pf::TPeerId>::Make(text);
  id->ParseSource();
  auto other = pf::RefPtr<pf::TPeerId>::Make("http://127.0.0.1/x");
  other->ParseSource();
  pf::TPeerId::SameSource(id.get(), other.get());
  pf::UnescapeUrl(pf::EscapeUrl(text));
  pf::ParseDottedAddress(text);
  pf::ParseInetAddress(text);
  int port = 0;
  pf::ParseNodeAddress(text, &port);
  // The proxy reply readers see bytes from the network too.
  const int length = static_cast<int>(size > 65536 ? 65536 : size);
  pf::ParseHttpProxyReply(data, length);
  pf::ParseSocks4Reply(data, length);
  pf::ParseSocks5Reply(data, length);
  if ((size & 0x3FF) == 0) pf::ClearNonexistentHosts();
  return 0;
}
