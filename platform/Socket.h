#pragma once
// Thin calls over IPv4 stream sockets. Addresses are in network byte order,
// ports in host order. Failures answer an error number: kSocketWouldBlock for
// "try again later" (connect in progress, nothing to read, no room to send),
// otherwise the system's own number.
#include <cstdint>
#include <string>

namespace pf::platform {

using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
constexpr int kSocketWouldBlock = 10035;

// What an error number of these calls means, as the system words it.
std::string SocketErrorText(int error);

// A new non-blocking IPv4 stream socket, or kNoSocket with *error set.
SocketHandle OpenTcpSocket(int* error);
void CloseSocket(SocketHandle socket);

// 0 or an error number. Bind sets SO_REUSEADDR first so a restarted
// listener gets its port back at once.
int BindSocket(SocketHandle socket, uint32_t ip, uint16_t port);
int ConnectSocket(SocketHandle socket, uint32_t ip, uint16_t port);
int ListenSocket(SocketHandle socket, int backlog);
// The accepted connection (non-blocking) or kNoSocket with *error set.
SocketHandle AcceptSocket(SocketHandle listener, uint32_t* ip, uint16_t* port, int* error);

// Bytes taken / read (a read of 0 means the peer closed), or -1 with *error.
int SendSocket(SocketHandle socket, const void* data, int length, int* error);
int ReceiveSocket(SocketHandle socket, void* buffer, int length, int* error);

// 1 ready, 0 time-out, -1 failure. A negative time waits without limit.
int WaitSocket(SocketHandle socket, bool forWriting, int timeoutMs);
// Waits until any of `count` sockets has something to read (or an error or
// hang-up to report), or, where `orWritable[i]` is set, room to send:
// 1 ready, 0 time-out, -1 failure.
int WaitAnySocketReadable(const SocketHandle* sockets, int count, int timeoutMs,
                          const uint8_t* orWritable = nullptr);
// The error a finished non-blocking connect left on the socket (0 = none).
int PendingSocketError(SocketHandle socket);

bool SocketLocalName(SocketHandle socket, uint32_t* ip, uint16_t* port);
bool SocketPeerName(SocketHandle socket, uint32_t* ip, uint16_t* port);
bool SetSocketReceiveBuffer(SocketHandle socket, int size);

}  // namespace pf::platform
