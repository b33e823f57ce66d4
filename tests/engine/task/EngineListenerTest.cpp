// The process-wide listener opens on the engine's listen port while the P2P
// switch is on, takes waiting connections into the pending list and closes
// when the switch goes off.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/task/EngineListener.h"
#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "platform/HostLookup.h"
#include "support/LoopbackServers.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

bool ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST(EngineListener, FollowsTheP2PSwitchAndFeedsThePendingList) {
  const int port = testing::FreeLoopbackPort();
  ASSERT_GT(port, 0);
  testing::ScopedProcessState processState;
  Switches().listenPort = port;
  Switches().p2pEnabled = 1;
  IncomingConnections::Clear();

  const std::string text = EngineListener::Upkeep(1000);
  ASSERT_TRUE(EngineListener::IsOpen());
  EXPECT_EQ(EngineListener::Port(), port);
  EXPECT_NE(text.find(" : " + std::to_string(port)), std::string::npos) << text;

  ASSERT_TRUE(ConnectLoopback(port));
  int accepted = 0;
  for (int tries = 0; tries < 50 && accepted == 0; ++tries) {
    accepted = EngineListener::AcceptWaiting(0);
    if (!accepted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(IncomingConnections::PendingCount(), 1u);

  Switches().p2pEnabled = 0;
  EXPECT_EQ(EngineListener::Upkeep(1001), "Service Disabled!");
  EXPECT_FALSE(EngineListener::IsOpen());
  EXPECT_FALSE(ConnectLoopback(port)) << "nobody listens any more";

  IncomingConnections::Clear();
  EngineListener::Close();
}

}  // namespace
}  // namespace pf

namespace pf {
namespace {

// The machine's own name answers slowly here, as a DNS server far away would.
platform::HostLookupResult SlowOwnName(const std::string&) {
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  platform::HostLookupResult result;
  const uint8_t bytes[4] = {192, 0, 2, 7};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  result.addresses.push_back(ip);
  return result;
}

TEST(EngineListener, TheLocalAddressIsReadFromItsCacheNeverLookedUpByTheReader) {
  platform::SetHostLookup(&SlowOwnName);
  const uint32_t before = EngineListener::LocalAddress();
  const auto start = std::chrono::steady_clock::now();
  EngineListener::RefreshLocalAddressInBackground();
  EXPECT_EQ(EngineListener::LocalAddress(), before);  // not waited for
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  uint32_t now = before;
  for (int i = 0; i < 200 && now == before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = EngineListener::LocalAddress();
  }
  const uint8_t expected[4] = {192, 0, 2, 7};
  EXPECT_EQ(std::memcmp(&now, expected, 4), 0);
  // The engine's start waits for the lookup, outside every task's loop.
  platform::SetHostLookup(nullptr);
  EngineListener::RefreshLocalAddress();
}

}  // namespace
}  // namespace pf
