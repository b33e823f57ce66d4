#include "engine/net/QUdpSocket.h"

#include "engine/base/EngineSwitches.h"
#include "platform/Datagram.h"

namespace pf {

void QUdpSocket::SetBlocking(bool blocking) {
  blocking_ = blocking;
  if (IsBound()) lastError_ = platform::SetUdpBlocking(handle_, blocking);
}

bool QUdpSocket::Bind(uint32_t ip, uint16_t port) {
  if (IsBound()) return false;
  int error = 0;
  const platform::SocketHandle handle = platform::OpenUdpSocket(&error);
  if (handle == platform::kNoSocket) {
    lastError_ = error;
    return false;
  }
  uint32_t boundIp = 0;
  uint16_t boundPort = 0;
  error = platform::BindUdpSocket(handle, ip, port);
  if (error == 0 && blocking_) error = platform::SetUdpBlocking(handle, true);
  if (error == 0 && !platform::SocketLocalName(handle, &boundIp, &boundPort)) error = -1;
  if (error != 0) {
    platform::CloseSocket(handle);
    lastError_ = error;
    return false;
  }
  handle_ = handle;
  localPort_ = boundPort;
  lastError_ = 0;
  return true;
}

int QUdpSocket::SendTo(uint32_t ip, uint16_t port, const void* bytes, int length) {
  // On the engine's own address when it was given one, so that a tracker
  // sees the address peers can reach.
  if (!IsBound() && !Bind(Switches().bindAddress)) return -1;
  int error = 0;
  const int sent = platform::SendDatagram(handle_, ip, port, bytes, length, &error);
  if (sent >= 0) return sent;
  if (error == platform::kSocketWouldBlock) return 0;
  lastError_ = error;
  return -1;
}

int QUdpSocket::ReceiveFrom(void* buffer, int maxBytes, uint32_t* ip, uint16_t* port) {
  if (!IsBound()) return -1;
  int error = 0;
  const int received = platform::ReceiveDatagram(handle_, buffer, maxBytes, ip, port, &error);
  if (received >= 0) return received;
  if (error == platform::kSocketWouldBlock) return 0;
  Close();
  lastError_ = error;
  return -1;
}

void QUdpSocket::Close() {
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  localPort_ = 0;
}

}  // namespace pf
