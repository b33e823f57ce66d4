#include "engine/net/QTcpSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "engine/net/HostResolver.h"
#include "engine/base/EngineSwitches.h"
#include "engine/base/EngineClock.h"
#include "engine/net/ProxyProtocol.h"
#include "platform/Clock.h"
#include "platform/HostLookup.h"

namespace pf {
namespace {

// The kernel's queue of connections waiting to be accepted: a flood fills a
// short one between two sweeps of the listener, and the peers that come
// then are turned away unseen.
constexpr int kListenBacklog = 1024;
constexpr int kTimedOut = 10060;
constexpr int kProxyRefused = 10061;
constexpr int kNotSupported = 10045;
constexpr int kTlsRefused = 10053;
// A server that accepted the connection but does not finish the handshake
// in this long is given up.
constexpr int64_t kTlsHandshakeSeconds = 20;

bool Usable(uint32_t ip) { return ip != 0 && ip != kNoAddress; }

std::string Dotted(uint32_t ip) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return text;
}

int64_t Now() { return MonotonicSeconds(); }

// A name that can be handed to a proxy as it is: no blanks or control
// characters that would change the request around it.
bool PlainHostName(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b > 0x20 && b != 0x7F;
  });
}

}  // namespace

void QTcpSocket::Fail(int error) {
  const int keep = error;
  Close();
  lastError = keep;
}

void QTcpSocket::FailTls(std::string reason) {
  Fail(kTlsRefused);
  tlsFailure_ = std::move(reason);
}

void QTcpSocket::Close() {
  platform::CloseSocket(handle);
  tls_.reset();
  tlsStart_ = 0;
  tlsFailure_.clear();
  send_.Reset();
  recv_.Reset();
  proxy = QProxySettings();
  proxyDone = 1;
  proxyStage_ = ProxyStage::kNone;
  proxyOut_.clear();
  proxyNameGiven_ = false;
  peerText.clear();
  remoteIp = localIp = 0;
  handle = platform::kNoSocket;
  remotePort = localPort = 0;
  forceReadable = forceWritable = 0;
  connected = blocking = 0;
  bytesSent = bytesReceived = 0;
  lastError = 0;
  connectTime = startTime = 0;
  overUdp = listening = 0;
  breakPending_ = 0;
  breakError_ = 0;
}

bool QTcpSocket::Wait(bool forWriting, int milliseconds) {
  if (!IsOpen()) return false;
  return platform::WaitSocket(handle, forWriting, milliseconds) == 1;
}

bool QTcpSocket::FinishConnect() {
  if (connected) return true;
  if (!IsOpen()) return false;
  const int err = platform::PendingSocketError(handle);
  if (err != 0) {
    Fail(err);
    return false;
  }
  connected = 1;
  platform::SocketLocalName(handle, &localIp, &localPort);
  connectTime = Now();
  return true;
}

bool QTcpSocket::SendProxyBytes() {
  while (!proxyOut_.empty()) {
    int err = 0;
    const int n = platform::SendSocket(handle, proxyOut_.data(), static_cast<int>(proxyOut_.size()), &err);
    if (n < 0) {
      if (err == platform::kSocketWouldBlock) return true;
      Fail(err);
      return false;
    }
    bytesSent += static_cast<uint64_t>(n);
    proxyOut_.erase(0, static_cast<size_t>(n));
  }
  return true;
}

bool QTcpSocket::ReadProxyBytes() {
  constexpr int kProxyReadSize = 2048;
  if (!recv_.Reserve(kProxyReadSize)) return true;
  int err = 0;
  const int n = platform::ReceiveSocket(handle, recv_.data() + recv_.used(), kProxyReadSize, &err);
  if (n == 0 || (n < 0 && err != platform::kSocketWouldBlock)) {
    Fail(n == 0 ? kProxyRefused : err);
    return false;
  }
  if (n > 0) {
    recv_.Commit(n);
    bytesReceived += static_cast<uint64_t>(n);
  }
  return true;
}

QTcpSocket::ProxyStep QTcpSocket::AdvanceProxy() {
  if (proxyStage_ == ProxyStage::kConnecting) {
    if (!connected) {
      if (platform::WaitSocket(handle, true, 0) != 1) return ProxyTimedOut() ? ProxyStep::kFailed : ProxyStep::kMore;
      if (!FinishConnect()) return ProxyStep::kFailed;
    }
    switch (proxy.type) {
      case kProxyHttp:
        if (proxy.noConnect) return FinishProxy(0);
        proxyOut_ = BuildHttpProxyRequest(proxy, false);
        proxyStage_ = ProxyStage::kRequest;
        break;
      case kProxySocks4:
      case kProxySocks4a: {
        const bool byName = proxy.type == kProxySocks4a && proxy.remoteNames && proxyNameGiven_;
        proxyOut_ = BuildSocks4Request(remoteIp, remotePort, byName ? proxy.target : std::string());
        proxyStage_ = ProxyStage::kRequest;
        break;
      }
      case kProxySocks5:
        proxyOut_ = BuildSocks5Greeting(ProxyLogin());
        proxyStage_ = ProxyStage::kGreeting;
        break;
      default:
        Fail(kNotSupported);
        return ProxyStep::kFailed;
    }
  }
  if (!SendProxyBytes() || !ReadProxyBytes()) return ProxyStep::kFailed;
  if (proxyStage_ == ProxyStage::kGreeting || proxyStage_ == ProxyStage::kLogin) {
    if (recv_.used() >= 2) {
      const uint8_t answer = recv_.data()[1];
      const bool greeting = proxyStage_ == ProxyStage::kGreeting;
      // The greeting asks for no login or for user and password; the login
      // must then be accepted.
      if (answer != (greeting && ProxyLogin() ? 2 : 0)) {
        Fail(kProxyRefused);
        return ProxyStep::kFailed;
      }
      recv_.Consume(2);
      if (greeting && ProxyLogin()) {
        proxyOut_ = BuildSocks5Login(proxy.user, proxy.password);
        proxyStage_ = ProxyStage::kLogin;
      } else {
        const bool byName = proxy.remoteNames && proxyNameGiven_;
        proxyOut_ = BuildSocks5Connect(remoteIp, remotePort, byName ? proxy.target : std::string());
        proxyStage_ = ProxyStage::kRequest;
      }
      if (!SendProxyBytes()) return ProxyStep::kFailed;
    }
  } else if (proxyStage_ == ProxyStage::kRequest && proxyOut_.empty()) {
    int n;
    switch (proxy.type) {
      case kProxyHttp: n = ParseHttpProxyReply(recv_.data(), recv_.used()); break;
      case kProxySocks5: n = ParseSocks5Reply(recv_.data(), recv_.used()); break;
      default: n = ParseSocks4Reply(recv_.data(), recv_.used()); break;
    }
    if (n >= 0) return FinishProxy(n);
    if (n != -2) {
      Fail(kProxyRefused);
      return ProxyStep::kFailed;
    }
  }
  return ProxyTimedOut() ? ProxyStep::kFailed : ProxyStep::kMore;
}

QTcpSocket::ProxyStep QTcpSocket::FinishProxy(int replyBytes) {
  proxyDone = 1;
  proxyStage_ = ProxyStage::kNone;
  proxy.target.clear();
  startTime = Now();
  if (proxy.method.empty() || proxy.method == "CONNECT") recv_.Consume(replyBytes);
  if (send_.used() > 0 && !Flush()) return ProxyStep::kFailed;
  return ProxyStep::kDone;
}

bool QTcpSocket::ProxyTimedOut() {
  if (Now() - startTime <= proxy.Timeout()) return false;
  Fail(kTimedOut);
  return true;
}

bool QTcpSocket::FinishProxyWaiting() {
  for (;;) {
    const ProxyStep step = AdvanceProxy();
    if (step != ProxyStep::kMore) return step == ProxyStep::kDone;
    // Short waits: the time limit is checked by each step.
    Wait(proxyStage_ == ProxyStage::kConnecting || !proxyOut_.empty(), 50);
  }
}

bool QTcpSocket::Connect(uint32_t ip, uint16_t port, bool blockingMode, const QProxySettings* proxySettings,
                         uint16_t bindPort, const uint8_t* udpKey) {
  Close();
  if (!Usable(ip) || port == 0) return false;
  if (!OpenHandle(udpKey)) return false;
  int err = 0;
  blocking = blockingMode ? 1 : 0;
  proxy = proxySettings ? *proxySettings : DefaultProxy();
  const bool viaProxy = proxy.IsConfigured();
  proxyNameGiven_ = viaProxy && !proxy.target.empty();
  remoteIp = ip;
  remotePort = port;
  peerText = Dotted(ip);
  uint32_t dialIp = ip;
  uint16_t dialPort = port;
  if (viaProxy) {
    proxyDone = 0;
    proxyStage_ = ProxyStage::kConnecting;
    dialIp = proxy.ip;
    dialPort = static_cast<uint16_t>(proxy.port);
    if (proxy.target.empty() && proxy.type == kProxyHttp)
      proxy.target = peerText + ":" + std::to_string(port) + " HTTP/1.1\r\n";
  }
  // A chosen local address (a machine with several) binds every connection.
  const uint32_t bindIp = Switches().bindAddress;
  if (bindPort != 0 || (bindIp != 0 && !udpKey)) {
    err = platform::BindSocket(handle, bindIp, bindPort);
    if (err != 0) {
      Fail(err);
      return false;
    }
  }
  startTime = Now();
  err = platform::ConnectSocket(handle, dialIp, dialPort);
  if (err == 0) {
    if (!FinishConnect()) return false;
  } else if (err == platform::kSocketWouldBlock) {
    if (blocking && !viaProxy && (!Wait(true, -1) || !FinishConnect())) {
      if (IsOpen()) Fail(kTimedOut);
      return false;
    }
  } else {
    Fail(err);
    return false;
  }
  if (!viaProxy) return true;
  // The exchange with the proxy goes on as the socket is read: a proxy that
  // never answers costs this connection, not the loop that drives it.
  if (blocking) return FinishProxyWaiting();
  return AdvanceProxy() != ProxyStep::kFailed;
}

bool QTcpSocket::ConnectHost(const std::string& host, uint16_t port, bool blockingMode,
                             const QProxySettings* proxySettings, uint16_t bindPort, const uint8_t* udpKey) {
  QProxySettings settings = proxySettings ? *proxySettings : DefaultProxy();
  uint32_t ip;
  if (!udpKey && settings.PassesNames()) {
    if (!PlainHostName(host)) {
      Close();
      return false;
    }
    settings.target =
        settings.type == kProxyHttp ? host + ":" + std::to_string(port) + " HTTP/1.1\r\n" : host;
    const uint8_t placeholder[4] = {0, 0, 0, 1};  // the proxy resolves the name
    std::memcpy(&ip, placeholder, 4);
  } else {
    settings.target.clear();
    ip = ResolveOne(host);
  }
  if (!Connect(ip, port, blockingMode, &settings, bindPort, udpKey)) return false;
  peerText = host;
  return true;
}

int QTcpSocket::WriteOut(const void* bytes, int length, int* error) {
  return tls_ ? tls_->Send(bytes, length, error) : platform::SendSocket(handle, bytes, length, error);
}

int QTcpSocket::ReadIn(void* buffer, int length, int* error) {
  return tls_ ? tls_->Receive(buffer, length, error) : platform::ReceiveSocket(handle, buffer, length, error);
}

bool QTcpSocket::StartTls(const std::string& hostName) {
  if (!IsOpen() || listening) return false;
  tls_ = std::make_unique<TlsSession>(handle, hostName);
  if (!tls_->Failure().empty()) {
    FailTls(tls_->Failure());
    return false;
  }
  if (blocking) return FinishTlsWaiting();
  // Through a proxy, or with the connection still being made, the
  // handshake begins once they are done.
  if (!proxyDone || !connected) return true;
  return AdvanceTls() != TlsStep::kFailed;
}

QTcpSocket::TlsStep QTcpSocket::AdvanceTls() {
  if (tlsStart_ == 0) tlsStart_ = Now();
  switch (tls_->Handshake()) {
    case TlsSession::Step::kDone:
      // Sends queued meanwhile go out now.
      if (send_.used() > 0 && !Flush()) return TlsStep::kFailed;
      return TlsStep::kDone;
    case TlsSession::Step::kFailed:
      FailTls(tls_->Failure());
      return TlsStep::kFailed;
    case TlsSession::Step::kMore:
      break;
  }
  if (Now() - tlsStart_ <= kTlsHandshakeSeconds) return TlsStep::kMore;
  FailTls("the server did not finish the TLS handshake in " + std::to_string(kTlsHandshakeSeconds) + " s");
  return TlsStep::kFailed;
}

bool QTcpSocket::FinishTlsWaiting() {
  for (;;) {
    const TlsStep step = AdvanceTls();
    if (step != TlsStep::kMore) return step == TlsStep::kDone;
    // Short waits: the time limit is checked by each step.
    Wait(tls_->WantsWrite(), 50);
  }
}

bool QTcpSocket::Flush() {
  if (send_.used() == 0) return true;
  int err = 0;
  const int n = WriteOut(send_.data(), send_.used(), &err);
  if (n < 0) {
    if (err == platform::kSocketWouldBlock) return true;
    Fail(err);
    return false;
  }
  bytesSent += static_cast<uint64_t>(n);
  send_.Consume(n);
  return true;
}

int QTcpSocket::Send(const void* bytes, int length) {
  if (!IsOpen() || listening) return -1;
  // An empty send still pushes out what is queued.
  if (!bytes || length < 0) length = 0;
  const auto* data = static_cast<const uint8_t*>(bytes);
  auto queue = [&](const uint8_t* from, int count) {
    const int take = std::min(count, kMaxSendQueue - send_.used());
    if (take <= 0 || !send_.Append(from, take)) return 0;
    return take;
  };

  if (!proxyDone || TlsPending()) {
    const int taken = queue(data, length);
    return Receive() < 0 ? -1 : taken;
  }
  if (!connected) {
    if (platform::WaitSocket(handle, true, 0) != 1) return queue(data, length);
    if (!FinishConnect()) return -1;
  }
  if (!Flush()) return -1;
  int taken = 0;
  if (send_.used() == 0 && length > 0) {
    int err = 0;
    const int n = WriteOut(data, length, &err);
    if (n < 0 && err != platform::kSocketWouldBlock) {
      Fail(err);
      return -1;
    }
    if (n > 0) {
      taken = n;
      bytesSent += static_cast<uint64_t>(n);
    }
  }
  if (taken < length) taken += queue(data + taken, length - taken);
  if (blocking) {
    while (send_.used() > 0) {
      if (!Wait(true, -1)) {
        Fail(kTimedOut);
        return -1;
      }
      if (!Flush()) return -1;
      if (send_.used() > 0) platform::SleepMs(5);
    }
  }
  return taken;
}

uint8_t* QTcpSocket::SendSpace(int length) {
  if (!IsOpen() || listening || length <= 0 || send_.used() + length > kMaxSendQueue) return nullptr;
  if (!send_.Reserve(length)) return nullptr;
  return send_.data() + send_.used();
}

int QTcpSocket::CommitSend(int length) {
  if (length > 0) send_.Commit(length);
  return Send(nullptr, 0);
}

int QTcpSocket::Receive(int maxBytes) {
  if (!IsOpen() || listening) return -1;
  if (breakPending_) {
    Fail(breakError_);
    return -1;
  }
  if (!proxyDone) {
    const ProxyStep step = AdvanceProxy();
    if (step == ProxyStep::kFailed) return -1;
    if (step == ProxyStep::kMore) return 0;
  }
  if (!connected) {
    if (platform::WaitSocket(handle, true, blocking ? -1 : 0) != 1) return 0;
    if (!FinishConnect()) return -1;
  }
  if (TlsPending()) {
    const TlsStep step = AdvanceTls();
    if (step == TlsStep::kFailed) return -1;
    if (step == TlsStep::kMore) return 0;
  }
  if (recv_.used() >= kMaxReceiveHeld) return recv_.used();
  const int size = std::min(maxBytes > 0 ? maxBytes : kDefaultReadSize, kMaxReceiveHeld - recv_.used());
  if (!recv_.Reserve(size)) return recv_.used();
  if (blocking && !HoldsUnreadInput()) Wait(false, -1);
  int err = 0;
  const int n = ReadIn(recv_.data() + recv_.used(), size, &err);
  if (n == 0 || (n < 0 && err != platform::kSocketWouldBlock)) {
    // Bytes still held (read by an earlier call, e.g. inside Send) are
    // reported before the break, which the next call reports.
    if (recv_.used() > 0) {
      breakPending_ = 1;
      breakError_ = n == 0 ? 0 : err;
      return recv_.used();
    }
    Fail(n == 0 ? 0 : err);
    return -1;
  }
  if (n > 0) {
    recv_.Commit(n);
    bytesReceived += static_cast<uint64_t>(n);
  }
  return recv_.used();
}

bool QTcpSocket::WaitReadable(int seconds) {
  if (forceReadable || HoldsUnreadInput()) {
    forceReadable = 0;
    return true;
  }
  const int ms = seconds < 0 ? (seconds == -2 && blocking ? -1 : 0) : seconds * 1000;
  return Wait(false, ms);
}

bool QTcpSocket::WaitWritable(int seconds) {
  if (forceWritable) {
    forceWritable = 0;
    return true;
  }
  const int ms = seconds < 0 ? (seconds == -2 && blocking ? -1 : 0) : seconds * 1000;
  return Wait(true, ms);
}

bool QTcpSocket::SetReceiveBuffer(int size) {
  if (size <= 0 || size > 1048576) size = 8192;
  if (overUdp) return true;
  return IsOpen() && platform::SetSocketReceiveBuffer(handle, size);
}

bool QTcpSocket::OpenHandle(const uint8_t* udpKey) {
  if (udpKey) {
    // Connections to nodes behind NAT (and listening for them) run over the
    // engine's UDP connection layer with the same calls; until that layer is
    // attached they fail here.
    overUdp = 1;
    Fail(kNotSupported);
    return false;
  }
  int err = 0;
  handle = platform::OpenTcpSocket(&err);
  if (!IsOpen()) {
    lastError = err;
    return false;
  }
  return true;
}

bool QTcpSocket::Listen(uint16_t port, uint32_t localAddress, const uint8_t* udpKey) {
  Close();
  if (!OpenHandle(udpKey)) return false;
  int err = 0;
  err = platform::BindSocket(handle, localAddress, port);
  if (err == 0) err = platform::ListenSocket(handle, kListenBacklog);
  if (err != 0) {
    Fail(err);
    return false;
  }
  uint32_t boundIp = 0;
  platform::SocketLocalName(handle, &boundIp, &localPort);
  localIp = localAddress != 0 ? localAddress : LocalAddress();
  listening = 1;
  startTime = connectTime = Now();
  return true;
}

std::unique_ptr<QTcpSocket> QTcpSocket::Accept() {
  if (!IsOpen() || !listening) return nullptr;
  if (blocking && !Wait(false, -1)) return nullptr;
  uint32_t ip = 0;
  uint16_t port = 0;
  int err = 0;
  const platform::SocketHandle fd = platform::AcceptSocket(handle, &ip, &port, &err);
  if (fd == platform::kNoSocket) {
    if (err != platform::kSocketWouldBlock) Fail(err);
    return nullptr;
  }
  auto accepted = std::make_unique<QTcpSocket>();
  accepted->handle = fd;
  accepted->remoteIp = ip;
  accepted->remotePort = port;
  accepted->peerText = Dotted(ip);
  accepted->connected = 1;
  accepted->proxyDone = 1;
  accepted->localIp = localIp;
  accepted->localPort = localPort;
  accepted->overUdp = overUdp;
  accepted->connectTime = accepted->startTime = Now();
  return accepted;
}

uint32_t QTcpSocket::ChooseLocalAddress(const uint32_t* addresses, int count) {
  uint32_t lastUsable = 0, lastPublic = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t ip = addresses[i];
    if (!Usable(ip)) continue;
    uint8_t b[4];
    std::memcpy(b, &ip, 4);
    const bool isPrivate = b[0] <= 6 || b[0] == 10 || b[0] == 127 || (b[0] == 192 && b[1] == 168) ||
                           (b[0] == 169 && b[1] == 254) || (b[0] == 172 && b[1] >= 16 && b[1] <= 31);
    lastUsable = ip;
    if (!isPrivate) lastPublic = ip;
  }
  return lastPublic != 0 ? lastPublic : lastUsable;
}

uint32_t QTcpSocket::LocalAddress() {
  const std::string name = platform::OwnHostName();
  if (name.empty()) return 0;
  const platform::HostLookupResult own = platform::LookupHostIpv4(name);
  return ChooseLocalAddress(own.addresses.data(), static_cast<int>(own.addresses.size()));
}

}  // namespace pf
