#pragma once
// IPv4 name resolution and the machine's own name and DNS servers.
#include <cstdint>
#include <string>
#include <vector>

namespace pf::platform {

// Failure codes keep the Windows resolver's numbers, since they end up in
// reports read by people used to them.
constexpr int kHostNotFound = 11001;  // the name does not exist
constexpr int kHostTryAgain = 11002;  // no answer (yet)
constexpr int kHostNoRecovery = 11003;
constexpr int kHostNoData = 11004;    // the name exists but has no IPv4 address

struct HostLookupResult {
  int error = 0;                     // 0 on success
  std::vector<uint32_t> addresses;   // IPv4, network byte order, in the resolver's order
};

// Blocking IPv4 lookup of a host name. An empty answer is a failure.
HostLookupResult LookupHostIpv4(const std::string& host);

// Replaces the lookup (tests use this to answer late or not at all);
// nullptr restores the system resolver. Answers the lookup it replaces
// (nullptr for the system resolver).
using HostLookupFunction = HostLookupResult (*)(const std::string& host);
HostLookupFunction SetHostLookup(HostLookupFunction lookup);

// The DNS servers the resolver asks, first the primary one; empty when none
// are configured or the configuration cannot be read.
std::vector<std::string> DnsServers();

// The machine's own host name; empty when it cannot be read.
std::string OwnHostName();

}  // namespace pf::platform
