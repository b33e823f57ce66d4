#include "platform/ListeningPorts.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace pf::platform {
namespace {

// Entries as the kernel writes them: 0x9C40 = 40000, 0x9C41 = 40001,
// 0xC350 = 50000, 0xAFC8 = 45000.
constexpr char kTcp[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:9C40 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 2130278 1 0 100 0 0 10 0\n"
    "   1: 0A4D0002:D431 0B010102:9C41 01 00000000:00000000 00:00000000 00000000  1000        0 2137803 1 0 20 4 30 10 -1\n";
constexpr char kTcp6[] =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue\n"
    "   0: 00000000000000000000000000000000:C350 00000000000000000000000000000000:0000 0A 00000000:00000000\n"
    "   1: 0000000000000000FFFF00000100007F:AFC8 0000000000000000FFFF00000100007F:9C42 06 00000000:00000000";

TEST(ListeningPortsTest, OnlyLocalPortsOfSocketEntriesCount) {
  const struct {
    const char* table;
    uint16_t port;
    bool held;
  } cases[] = {
      {kTcp, 40000, true},    // listening on loopback
      {kTcp, 54321, true},    // the local end of a connection
      {kTcp, 40001, false},   // only the remote end of a connection
      {kTcp, 0, false},       // the remote port of a listener is not a local port
      {kTcp6, 50000, true},   // listening on every IPv6 address
      {kTcp6, 45000, true},   // last line without a line feed
      {kTcp6, 40002, false},  // remote only
      {"", 40000, false},
      // The header, broken and foreign lines are no entries.
      {"  sl  local_address rem_address\n", 0, false},
      {"   0: 0100007F:9C4 00000000:0000\n", 0x9C4, true},
      {"   0: 0100007F:9C4G 00000000:0000\n   1: 0100007F 0\n   2: :9C40\n", 40000, false},
      {"   0: 0100007F:19C40 00000000:0000\n", 0x9C40, false},  // more than a port's digits
      {"garbage 0100007F:9C40 00000000:0000\n", 40000, false},
      {"   0:\n   1: 0100007F:9C40\n", 40000, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TcpTableHoldsLocalPort(c.table, c.port), c.held) << c.table << " port " << c.port;
}

// A listener of this process is seen in the live tables, and its port is
// free again once it is closed.
TEST(ListeningPortsTest, ALiveListenerHoldsItsPort) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint16_t port = ntohs(address.sin6_port);
  EXPECT_TRUE(TcpPortInUse(port));
  ::close(fd);
  EXPECT_FALSE(TcpPortInUse(port));
}

}  // namespace
}  // namespace pf::platform
