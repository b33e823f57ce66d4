#include "engine/net/QTcpSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/net/HostResolver.h"
#include "platform/Sockets.h"
#include "support/ManualClock.h"

namespace pf {
namespace {

uint32_t Loopback() { return ParseInetAddress("127.0.0.1"); }

// A listener on a free loopback port whose one connection is served by
// `serve` on a thread of its own.
class OneShotServer {
 public:
  explicit OneShotServer(std::function<void(QTcpSocket&)> serve) {
    platform::SocketsStartup();
    EXPECT_TRUE(listener_.Listen(0, Loopback()));
    listener_.blocking = 1;
    thread_ = std::thread([this, serve] {
      std::unique_ptr<QTcpSocket> peer = listener_.Accept();
      if (!peer) return;
      peer->blocking = 1;
      serve(*peer);
    });
  }
  ~OneShotServer() { thread_.join(); }
  uint16_t port() const { return listener_.localPort; }

 private:
  QTcpSocket listener_;
  std::thread thread_;
};

// Reads in blocking mode until `count` bytes are held or the peer closes.
std::string ReadBlocking(QTcpSocket& s, size_t count) {
  while (static_cast<size_t>(s.ReceivedCount()) < count && s.Receive() >= 0) {
  }
  std::string text(reinterpret_cast<const char*>(s.ReceivedData()), static_cast<size_t>(s.ReceivedCount()));
  s.Consume(s.ReceivedCount());
  return text;
}

// Calls Send with nothing new until the queue is empty.
bool Drain(QTcpSocket& s) {
  for (int i = 0; i < 200 && s.QueuedCount() > 0; ++i) {
    s.WaitWritable(1);
    if (s.Send(nullptr, 0) < 0) return false;
  }
  return s.QueuedCount() == 0;
}

QProxySettings LocalProxy(int type, uint16_t port) {
  QProxySettings p;
  p.type = type;
  p.ip = Loopback();
  p.port = port;
  p.timeoutSeconds = 2;
  return p;
}

TEST(QTcpSocketTest, BytesSentBeforeTheConnectFinishesAreQueuedNotLost) {
  std::string received;
  {
    OneShotServer server([&](QTcpSocket& peer) { received = ReadBlocking(peer, 10); });
    QTcpSocket client;
    const QProxySettings none;
    ASSERT_TRUE(client.Connect(Loopback(), server.port(), false, &none));
    EXPECT_EQ(client.Send("hello", 5), 5);
    EXPECT_EQ(client.Send("world", 5), 5);
    ASSERT_TRUE(Drain(client));
    EXPECT_EQ(client.bytesSent, 10u);
    EXPECT_EQ(client.peerText, "127.0.0.1");
  }
  EXPECT_EQ(received, "helloworld");
}

TEST(QTcpSocketTest, HttpProxyReplyWithBodyIsConsumedAndQueuedBytesFollowTheHandshake) {
  std::string request, afterwards, tunnel;
  std::atomic<bool> clientQueued{false};
  {
    OneShotServer proxy([&](QTcpSocket& peer) {
      while (request.find("\r\n\r\n") == std::string::npos && peer.Receive() >= 0)
        request.assign(reinterpret_cast<const char*>(peer.ReceivedData()), static_cast<size_t>(peer.ReceivedCount()));
      peer.Consume(static_cast<int>(request.size()));
      // Answer only once the client has queued its first bytes.
      while (!clientQueued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const std::string reply = "HTTP/1.1 200 Connection established\r\nContent-Length: 5\r\n\r\nhellotunnel";
      peer.Send(reply.data(), static_cast<int>(reply.size()));
      afterwards = ReadBlocking(peer, 4);
    });
    QProxySettings settings = LocalProxy(kProxyHttp, proxy.port());
    settings.user = "u";
    settings.password = "p";
    QTcpSocket client;
    ASSERT_TRUE(client.Connect(ParseInetAddress("127.0.0.9"), 9, false, &settings));
    EXPECT_EQ(client.proxyDone, 0);
    EXPECT_EQ(client.Send("ping", 4), 4);  // queued: the proxy has not answered yet
    clientQueued = true;
    for (int i = 0; i < 100 && tunnel.size() < 6; ++i) {
      client.WaitReadable(1);
      const int held = client.Receive();
      ASSERT_GE(held, 0);
      tunnel.append(reinterpret_cast<const char*>(client.ReceivedData()), static_cast<size_t>(held));
      client.Consume(held);
    }
    EXPECT_EQ(client.proxyDone, 1);
    EXPECT_TRUE(Drain(client));
  }
  EXPECT_EQ(request, "CONNECT 127.0.0.9:9 HTTP/1.1\r\nProxy-Authorization: Basic dTpw\r\n\r\n");
  EXPECT_EQ(tunnel, "tunnel");
  EXPECT_EQ(afterwards, "ping");
}

// A proxy that misbehaves costs its own connection and nothing more: the
// connection fails within the proxy's time-out, and no call on it ever
// holds up the caller, not even while the proxy stays silent (at the
// greeting, or after asking for a login).
TEST(QTcpSocketTest, MisbehavingProxiesFailWithinTheirTimeOutAndNeverBlockTheCaller) {
  struct Case {
    const char* name;
    int type;
    std::string reply;  // what the proxy sends after reading the request
    bool silent = false;  // nothing to judge before the time-out
    bool login = false;
  };
  const Case cases[] = {
      {"silent HTTP proxy", kProxyHttp, "", true},
      {"HTTP header without an end", kProxyHttp, std::string(1 << 20, 'x')},
      {"HTTP garbage", kProxyHttp, "\x16\x03\x01 garbage\r\n\r\n"},
      {"SOCKS4 rejection", kProxySocks4, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8)},
      {"silent SOCKS4 proxy", kProxySocks4, "", true},
      {"SOCKS5 wants a login we lack", kProxySocks5, std::string("\x05\x02", 2)},
      {"SOCKS5 refuses every method", kProxySocks5, std::string("\x05\xff", 2)},
      {"SOCKS5 greeting never answered", kProxySocks5, "", true},
      {"SOCKS5 login never answered", kProxySocks5, std::string("\x05\x02", 2), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneShotServer proxy([&](QTcpSocket& peer) {
      peer.Receive();
      if (!c.reply.empty()) peer.Send(c.reply.data(), static_cast<int>(c.reply.size()));
      // Stay open until the client gives up.
      while (peer.Receive() >= 0) peer.Consume(peer.ReceivedCount());
    });
    QProxySettings settings = LocalProxy(c.type, proxy.port());
    if (c.login) settings.user = "alice";
    testing::ManualClock clock;  // the time-out passes in steps of 100 ms
    QTcpSocket client;
    using Wall = std::chrono::steady_clock;
    auto longest = Wall::duration::zero();
    const auto timed = [&](auto call) {
      const auto before = Wall::now();
      const auto result = call();
      longest = std::max(longest, Wall::now() - before);
      return result;
    };
    bool failed = !timed([&] { return client.Connect(ParseInetAddress("127.0.0.9"), 9, false, &settings); });
    uint32_t elapsedMs = 0;
    while (!failed && elapsedMs < 8000) {
      // The proxy's bytes, if any, have a moment to arrive.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      client.WaitReadable(0);
      failed = timed([&] { return client.Receive(); }) < 0;
      EXPECT_LE(client.ReceiveCapacity(), 64 * 1024);
      if (failed) break;
      clock.Advance(100);
      elapsedMs += 100;
    }
    EXPECT_TRUE(failed);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_LT(elapsedMs, 5000u);
    if (c.silent) {
      EXPECT_GE(elapsedMs, 2000u) << "a silent proxy has its whole time-out";
    }
    EXPECT_LT(longest, std::chrono::milliseconds(50)) << "no call waits for the proxy";
  }
}

TEST(QTcpSocketTest, APeerThatNeverReadsCannotMakeTheSendQueueGrowWithoutBound) {
  std::atomic<bool> done{false};
  OneShotServer server([&](QTcpSocket&) {
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  QTcpSocket client;
  const QProxySettings none;
  ASSERT_TRUE(client.Connect(Loopback(), server.port(), false, &none));
  const std::string chunk(1 << 20, 'z');
  int64_t taken = 0;
  for (int i = 0; i < 64; ++i) {
    client.WaitWritable(0);
    const int n = client.Send(chunk.data(), static_cast<int>(chunk.size()));
    ASSERT_GE(n, 0);
    taken += n;
  }
  EXPECT_LE(client.QueuedCount(), QTcpSocket::kMaxSendQueue);
  EXPECT_LT(taken, int64_t{64} << 20);
  EXPECT_EQ(static_cast<int64_t>(client.bytesSent) + client.QueuedCount(), taken);
  done = true;
}

TEST(QTcpSocketTest, LocalAddressPrefersTheLastPublicAddress) {
  auto ip = [](const char* text) { return ParseInetAddress(text); };
  const uint32_t publicLast[] = {ip("192.168.1.5"), ip("8.8.4.4")};
  EXPECT_EQ(QTcpSocket::ChooseLocalAddress(publicLast, 2), ip("8.8.4.4"));
  const uint32_t publicFirst[] = {ip("8.8.4.4"), ip("9.9.9.9"), ip("10.0.0.1"), ip("172.20.0.1")};
  EXPECT_EQ(QTcpSocket::ChooseLocalAddress(publicFirst, 4), ip("9.9.9.9"));
  const uint32_t privateOnly[] = {ip("127.0.0.1"), ip("169.254.3.3"), 0, kNoAddress};
  EXPECT_EQ(QTcpSocket::ChooseLocalAddress(privateOnly, 4), ip("169.254.3.3"));
  EXPECT_EQ(QTcpSocket::ChooseLocalAddress(nullptr, 0), 0u);
}

}  // namespace
}  // namespace pf
