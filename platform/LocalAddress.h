#pragma once
// The address this computer is known by on its network.
#include <string>

namespace pf::platform {

// The first IPv4 address, in dotted form, of an interface that is up and
// not the loopback one, in the system's interface order; without such an
// interface the loopback address (as a Windows host names itself when no
// adapter is up). Empty when there is no IPv4 address at all.
std::string LocalIpv4Address();

}  // namespace pf::platform
