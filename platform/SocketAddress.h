#pragma once
// The IPv4 socket address the platform's socket calls build from an address
// in network order and a port in host order.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace pf::platform {

inline sockaddr_in Ipv4(uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ip;
  a.sin_port = htons(port);
  return a;
}

}  // namespace pf::platform
