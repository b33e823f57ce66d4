#pragma once
// One connection's TLS client: the handshake as a step that never waits,
// then plaintext in and out with the same contract as the platform's socket
// calls. Records travel through a BIO of our own over those calls, so the
// engine's sockets keep going through the platform layer and no byte is
// copied on the way. Used by the one thread that owns the connection.
#include <openssl/types.h>

#include <memory>
#include <string>

#include "platform/Socket.h"

namespace pf {

class TlsSession {
 public:
  enum class Step { kMore, kDone, kFailed };

  // A client for the server `hostName` (a name or a dotted IPv4 address,
  // which the certificate must name) on a connected socket.
  TlsSession(platform::SocketHandle handle, const std::string& hostName);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // As far as the socket allows without waiting. On kFailed, Failure()
  // says why.
  Step Handshake();
  bool Established() const { return established_; }
  // The handshake waits for room to send rather than for bytes to read.
  bool WantsWrite() const { return wantsWrite_; }
  // Why the session cannot be used: OpenSSL's reason, with the certificate
  // check's own reason when that failed.
  const std::string& Failure() const { return failure_; }

  // As platform::SendSocket / ReceiveSocket, for plaintext: bytes taken or
  // read, 0 when the server closed (reading), or -1 with *error set
  // (platform::kSocketWouldBlock when nothing can move now). A read fills
  // the buffer as far as the bytes at hand go.
  int Send(const void* data, int length, int* error);
  int Receive(void* buffer, int length, int* error);
  // Whole records already read from the socket that Receive would return
  // although the socket itself may have nothing (the last read stopped
  // because the buffer was full, not for want of bytes).
  bool HoldsInput() const;

  // Read and written by the BIO's callbacks.
  struct Channel {
    platform::SocketHandle handle = platform::kNoSocket;
    int error = 0;  // the socket's last error other than "would block"
  };

 private:
  // -1 with *error from an SSL call's result that moved nothing.
  int Stalled(int result, int* error);
  void SetFailure(int sslError);

  Channel channel_;
  std::unique_ptr<SSL, void (*)(SSL*)> ssl_;
  bool established_ = false;
  bool wantsWrite_ = false;
  bool lastReadFilled_ = false;
  std::string failure_;
};

}  // namespace pf
