#pragma once
// Thin calls over IPv4 datagram sockets, in the manner of Socket.h:
// addresses in network byte order, ports in host order, kSocketWouldBlock
// for "try again later". A datagram handle is closed with CloseSocket and
// its local name read with SocketLocalName.
#include <cstdint>

#include "platform/Socket.h"

namespace pf::platform {

// A new non-blocking IPv4 datagram socket, or kNoSocket with *error set.
SocketHandle OpenUdpSocket(int* error);
// 0 or an error number. No address reuse: two sockets on one port would
// split the datagrams between them.
int BindUdpSocket(SocketHandle socket, uint32_t ip, uint16_t port);
// 0 or an error number.
int SetUdpBlocking(SocketHandle socket, bool blocking);
// Bytes sent, or -1 with *error.
int SendDatagram(SocketHandle socket, uint32_t ip, uint16_t port, const void* data, int length, int* error);
// Bytes of the next datagram (cut to `length`) with its sender, or -1 with
// *error (kSocketWouldBlock when none waits).
int ReceiveDatagram(SocketHandle socket, void* buffer, int length, uint32_t* ip, uint16_t* port, int* error);

}  // namespace pf::platform
