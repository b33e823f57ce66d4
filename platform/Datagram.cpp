#include "platform/Datagram.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/SocketAddress.h"

namespace pf::platform {
namespace {

int Translate(int err) { return (err == EAGAIN || err == EWOULDBLOCK) ? kSocketWouldBlock : err; }

}  // namespace

SocketHandle OpenUdpSocket(int* error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return kNoSocket;
  }
  return fd;
}

int BindUdpSocket(SocketHandle socket, uint32_t ip, uint16_t port) {
  sockaddr_in a = Ipv4(ip, port);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Translate(errno);
}

int SetUdpBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return errno;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(socket, F_SETFL, wanted) == 0 ? 0 : errno;
}

int SendDatagram(SocketHandle socket, uint32_t ip, uint16_t port, const void* data, int length, int* error) {
  sockaddr_in a = Ipv4(ip, port);
  ssize_t n;
  do {
    n = ::sendto(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a),
                 sizeof a);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = Translate(errno);
    return -1;
  }
  return static_cast<int>(n);
}

int ReceiveDatagram(SocketHandle socket, void* buffer, int length, uint32_t* ip, uint16_t* port, int* error) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ssize_t n;
  do {
    n = ::recvfrom(socket, buffer, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr*>(&a), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = Translate(errno);
    return -1;
  }
  *ip = a.sin_addr.s_addr;
  *port = ntohs(a.sin_port);
  return static_cast<int>(n);
}

}  // namespace pf::platform
