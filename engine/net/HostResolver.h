#pragma once
// Host-name resolution for source addresses and connections, with a memory
// of names that do not exist and a one-time diagnostic report.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pf {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;  // "not resolved"

// Looks the host up on a thread of its own and waits at most 3000 ms; an
// answer after that is thrown away. Appends usable IPv4 addresses (network
// order, at most 256) and answers their count; 0 for an empty host or an
// unusable dotted address; -1 when the lookup failed or timed out.
int ResolveHost(const std::string& host, std::vector<uint32_t>* addresses);

// One lookup that its caller polls instead of waiting for: it runs on a
// thread of its own and ends with its answer or after 3000 ms, with the same
// bookkeeping as ResolveHost (names that do not exist are remembered, the
// first failure is reported). Addresses given as digits and dots are
// resolved at once. Not shared between threads.
class HostResolution {
 public:
  enum class State { kWaiting, kResolved, kFailed };

  explicit HostResolution(std::string host);
  ~HostResolution();  // a lookup still running is abandoned
  HostResolution(const HostResolution&) = delete;
  HostResolution& operator=(const HostResolution&) = delete;

  // Never waits.
  State Poll();
  // Once resolved: the usable addresses (network order), possibly none.
  const std::vector<uint32_t>& Addresses() const { return addresses_; }

 private:
  std::string host_;
  std::vector<uint32_t> addresses_;
  uint64_t serial_ = 0;
  uint32_t startedMs_ = 0;  // engine tick when the lookup started
  State state_ = State::kWaiting;
};

// Blocking lookup for connecting: the address in network order or kNoAddress.
// Names the resolver reported as non-existent are not looked up again until
// ClearNonexistentHosts.
uint32_t ResolveOne(const std::string& host);

// "node://host[:port]" (scheme in any letter case): the host's address, the
// port (80 when absent) in *port; 0 when the text is not such an address.
uint32_t ParseNodeAddress(std::string_view text, int* port);

// Up to four dot-separated numbers (decimal, or hex after "0x"), one per
// address byte, missing ones 0. Network order.
uint32_t ParseDottedAddress(std::string_view text);
// The classic dotted-address syntax (1 to 4 parts, decimal, octal or hex,
// the last part filling the remaining bytes); kNoAddress when invalid.
uint32_t ParseInetAddress(std::string_view text);

void ClearNonexistentHosts();
bool IsNonexistentHost(const std::string& host);

// Where the diagnostic report of the first failed lookup goes (nowhere until
// the owner of telemetry installs it; tests capture it). Answers the report
// it replaces.
using ResolverReportFunction = void (*)(const char* eventCode, const char* message);
ResolverReportFunction SetResolverReport(ResolverReportFunction report);

}  // namespace pf
