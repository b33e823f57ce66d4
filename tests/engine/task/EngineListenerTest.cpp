// The process-wide listener opens on the engine's listen port while the P2P
// switch is on, takes waiting connections into the pending list and closes
// when the switch goes off.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/task/EngineListener.h"
#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
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
