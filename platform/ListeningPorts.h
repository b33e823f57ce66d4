#pragma once
// Which TCP ports the sockets of this computer hold, read from the kernel's
// socket tables (the equivalent of listing them with netstat).
#include <cstdint>
#include <string_view>

namespace pf::platform {

// Whether `table`, the text of /proc/net/tcp or /proc/net/tcp6, lists a
// socket whose local port is `port`, in any state. A port seen only as the
// remote end of a connection does not count; lines that are not socket
// entries are skipped.
bool TcpTableHoldsLocalPort(std::string_view table, uint16_t port);

// Whether a TCP socket (IPv4 or IPv6) of the calling thread's network
// namespace has `port` as its local port. Tables that cannot be read hold
// nothing.
bool TcpPortInUse(uint16_t port);

}  // namespace pf::platform
