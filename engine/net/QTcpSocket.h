#pragma once
// One stream connection of the engine: a non-blocking socket with queued
// sends, a receive buffer, byte counters, optional tunnelling through an
// HTTP or SOCKS proxy and optional TLS on top. Used by one thread at a time.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/net/QProxySettings.h"
#include "engine/net/QSocketBuffer.h"
#include "engine/net/TlsSession.h"
#include "platform/Socket.h"

namespace pf {

class QTcpSocket {
 public:
  static constexpr int kDefaultReadSize = 43008;
  // Bounds on what one connection holds: sends beyond the queue limit are
  // refused, reads pause while the receive buffer is full.
  static constexpr int kMaxSendQueue = 8 << 20;
  static constexpr int kMaxReceiveHeld = 32 << 20;

  QTcpSocket() = default;
  ~QTcpSocket() { Close(); }
  QTcpSocket(const QTcpSocket&) = delete;
  QTcpSocket& operator=(const QTcpSocket&) = delete;

  // Starts a connection to ip:port (network order / host order). True when
  // connected or in progress. `proxy` null means the process-wide default;
  // `udpKey` (8 bytes) sends the connection over the UDP connection layer.
  bool Connect(uint32_t ip, uint16_t port, bool blocking, const QProxySettings* proxy = nullptr,
               uint16_t localPort = 0, const uint8_t* udpKey = nullptr);
  // As Connect, for a host name: a proxy that takes names gets it as is,
  // otherwise it is resolved here.
  bool ConnectHost(const std::string& host, uint16_t port, bool blocking, const QProxySettings* proxy = nullptr,
                   uint16_t localPort = 0, const uint8_t* udpKey = nullptr);
  // Runs TLS on the connection Connect started, checking the server's
  // certificate against `hostName`. The handshake follows the proxy's and,
  // like it, goes on as the socket is used: sends are queued until it is
  // done, Receive reports 0 meanwhile; from then on the calls below carry
  // plaintext and the byte counters count it. A blocking socket finishes the
  // handshake here. False, with the socket closed and TlsFailure() saying
  // why, when it failed.
  bool StartTls(const std::string& hostName);
  // Listens on port, on all interfaces or `localAddress` (0 = all).
  bool Listen(uint16_t port, uint32_t localAddress = 0, const uint8_t* udpKey = nullptr);
  std::unique_ptr<QTcpSocket> Accept();

  // Bytes taken (sent or queued), 0, or -1 when the connection broke. Queued
  // bytes go out first; an empty send only pushes them on.
  int Send(const void* bytes, int length);
  // Room for `length` more bytes at the end of the send queue, to be written
  // in place and handed over with CommitSend (saves a copy of large
  // output); null when the queue cannot take them.
  uint8_t* SendSpace(int length);
  // Queues `length` bytes written at SendSpace and pushes the queue on, as
  // an empty Send does.
  int CommitSend(int length);
  // Reads up to maxBytes (0 = the default size); the bytes now held in the
  // receive buffer, 0, or -1 when the connection broke or the proxy refused.
  // Bytes held when the peer closes are reported once more before the -1.
  int Receive(int maxBytes = 0);
  void Consume(int count) { recv_.Consume(count); }
  void ConsumeSent(int count) { send_.Consume(count); }

  // seconds: negative polls; -2 waits without limit in blocking mode.
  bool WaitReadable(int seconds);
  bool WaitWritable(int seconds);
  bool SetReceiveBuffer(int size);
  void Close();

  // The machine's address for listening: the last public address of its
  // own host name, else the last usable one.
  static uint32_t LocalAddress();
  static uint32_t ChooseLocalAddress(const uint32_t* addresses, int count);

  bool IsOpen() const { return handle != platform::kNoSocket; }
  bool ProxyPending() const { return IsOpen() && !proxyDone; }
  bool TlsPending() const { return IsOpen() && tls_ && !tls_->Established(); }
  // Received bytes that TLS holds although the socket has nothing more: the
  // connection is ready to read without waiting.
  bool HoldsUnreadInput() const { return tls_ && tls_->HoldsInput(); }
  // Why the TLS handshake (or the session) failed; kept after the failure
  // closed the socket, until the socket is connected or closed again.
  const std::string& TlsFailure() const { return tlsFailure_; }
  const uint8_t* ReceivedData() const { return recv_.data(); }
  int ReceivedCount() const { return recv_.used(); }
  int QueuedCount() const { return send_.used(); }
  int ReceiveCapacity() const { return recv_.capacity(); }
  int SendCapacity() const { return send_.capacity(); }

  QProxySettings proxy;
  uint8_t proxyDone = 1;
  std::string peerText;
  uint32_t remoteIp = 0;
  uint32_t localIp = 0;
  platform::SocketHandle handle = platform::kNoSocket;
  uint16_t remotePort = 0;
  uint16_t localPort = 0;
  uint8_t forceReadable = 0;
  uint8_t forceWritable = 0;
  uint8_t connected = 0;
  uint8_t blocking = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  int32_t lastError = 0;
  int64_t connectTime = 0;
  int64_t startTime = 0;
  uint8_t overUdp = 0;
  uint8_t listening = 0;

 private:
  // A fresh non-blocking socket; false (with the error kept) when none.
  bool OpenHandle(const uint8_t* udpKey);
  bool FinishConnect();  // false when the pending connect failed (socket closed)
  bool Wait(bool forWriting, int milliseconds);

  // Where the exchange with a proxy stands: the connection to it, the
  // SOCKS5 greeting and login, then the request for the target.
  enum class ProxyStage : uint8_t { kNone, kConnecting, kGreeting, kLogin, kRequest };
  enum class ProxyStep { kMore, kFailed, kDone };
  // As far as the socket allows without waiting; the socket is closed on
  // failure, including the proxy's time limit from the connection's start.
  ProxyStep AdvanceProxy();
  ProxyStep FinishProxy(int replyBytes);
  bool FinishProxyWaiting();  // a blocking socket's whole exchange
  bool SendProxyBytes();
  bool ReadProxyBytes();
  bool ProxyTimedOut();
  bool ProxyLogin() const { return !proxy.user.empty() || !proxy.password.empty(); }
  bool Flush();
  void Fail(int error);

  // The handshake's step, as far as the socket allows; the socket is closed
  // on failure, including its time limit.
  enum class TlsStep { kMore, kFailed, kDone };
  TlsStep AdvanceTls();
  bool FinishTlsWaiting();  // a blocking socket's whole handshake
  void FailTls(std::string reason);  // by value: the reason may live in the session it closes
  // The socket calls, through TLS once it runs.
  int WriteOut(const void* bytes, int length, int* error);
  int ReadIn(void* buffer, int length, int* error);

  QSocketBuffer send_{1024};
  QSocketBuffer recv_{2048};
  uint8_t breakPending_ = 0;  // the peer closed or failed while bytes were held
  ProxyStage proxyStage_ = ProxyStage::kNone;
  std::string proxyOut_;         // proxy request bytes not yet sent
  bool proxyNameGiven_ = false;  // the proxy gets the target's name
  int breakError_ = 0;
  std::unique_ptr<TlsSession> tls_;  // set by StartTls
  int64_t tlsStart_ = 0;             // when the handshake could begin
  std::string tlsFailure_;
};

}  // namespace pf
