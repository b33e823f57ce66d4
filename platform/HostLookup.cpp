#include "platform/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pf::platform {
namespace {

HostLookupResult SystemLookup(const std::string& host) {
  HostLookupResult result;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    switch (rc) {
      case EAI_NONAME: result.error = kHostNotFound; break;
#ifdef EAI_NODATA
      case EAI_NODATA: result.error = kHostNoData; break;
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY: result.error = kHostNoData; break;
#endif
      case EAI_AGAIN: result.error = kHostTryAgain; break;
      default: result.error = kHostNoRecovery; break;
    }
    return result;
  }
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    uint32_t ip = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t known : result.addresses) seen = seen || known == ip;
    if (!seen) result.addresses.push_back(ip);
  }
  ::freeaddrinfo(list);
  if (result.addresses.empty()) result.error = kHostNoData;
  return result;
}

std::atomic<HostLookupFunction> lookupFunction{&SystemLookup};

}  // namespace

HostLookupResult LookupHostIpv4(const std::string& host) {
  return lookupFunction.load(std::memory_order_acquire)(host);
}

HostLookupFunction SetHostLookup(HostLookupFunction lookup) {
  const HostLookupFunction previous =
      lookupFunction.exchange(lookup ? lookup : &SystemLookup, std::memory_order_acq_rel);
  return previous == &SystemLookup ? nullptr : previous;
}

std::vector<std::string> DnsServers() {
  std::vector<std::string> servers;
  std::ifstream in("/etc/resolv.conf");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (words >> keyword >> address && keyword == "nameserver") servers.push_back(address);
  }
  return servers;
}

std::string OwnHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return std::string(name);
}

}  // namespace pf::platform
