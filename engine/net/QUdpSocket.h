#pragma once
// One datagram socket of the engine: IPv4, bound on first use to an
// ephemeral port (or where Bind puts it). Used by one thread at a time.
#include <cstdint>

#include "platform/Socket.h"

namespace pf {

class QUdpSocket {
 public:
  QUdpSocket() = default;
  ~QUdpSocket() { Close(); }
  QUdpSocket(const QUdpSocket&) = delete;
  QUdpSocket& operator=(const QUdpSocket&) = delete;

  // Takes effect at once when bound, else when the socket is opened.
  void SetBlocking(bool blocking);
  // Opens the socket on ip:port (network order / host order; 0 = any).
  // False (with lastError) when it is already bound or the system refuses.
  bool Bind(uint32_t ip = 0, uint16_t port = 0);
  // Bytes sent, 0 when the system has no room now, -1 on failure. Binds to
  // an ephemeral port first when needed. A failed send leaves the socket
  // bound: one unreachable address says nothing about the others.
  int SendTo(uint32_t ip, uint16_t port, const void* bytes, int length);
  // The next datagram's size (cut to maxBytes) and sender, 0 when nothing
  // waits, -1 on failure — which closes the socket, so IsBound turns false.
  int ReceiveFrom(void* buffer, int maxBytes, uint32_t* ip, uint16_t* port);
  void Close();

  bool IsBound() const { return handle_ != platform::kNoSocket; }
  // The bound port, 0 when not bound.
  uint16_t LocalPort() const { return localPort_; }
  int LastError() const { return lastError_; }

 private:
  platform::SocketHandle handle_ = platform::kNoSocket;
  uint16_t localPort_ = 0;
  bool blocking_ = false;
  int lastError_ = 0;
};

}  // namespace pf
