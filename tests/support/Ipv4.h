#pragma once
// An IPv4 address from its four dotted parts, in network order as the
// engine keeps it.
#include <cstdint>
#include <cstring>

namespace pf::testing {

inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

}  // namespace pf::testing
