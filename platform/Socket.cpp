#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/SocketAddress.h"

namespace pf::platform {
namespace {

int Translate(int err) {
  return (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS || err == EALREADY) ? kSocketWouldBlock
                                                                                         : err;
}

bool MakeNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

SocketHandle OpenTcpSocket(int* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return kNoSocket;
  }
  if (!MakeNonBlocking(fd)) {
    *error = errno;
    ::close(fd);
    return kNoSocket;
  }
  return fd;
}

void CloseSocket(SocketHandle socket) {
  if (socket >= 0) ::close(socket);
}

int BindSocket(SocketHandle socket, uint32_t ip, uint16_t port) {
  int one = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Ipv4(ip, port);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Translate(errno);
}

int ConnectSocket(SocketHandle socket, uint32_t ip, uint16_t port) {
  sockaddr_in a = Ipv4(ip, port);
  int rc;
  do {
    rc = ::connect(socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : Translate(errno);
}

int ListenSocket(SocketHandle socket, int backlog) {
  return ::listen(socket, backlog) == 0 ? 0 : Translate(errno);
}

SocketHandle AcceptSocket(SocketHandle listener, uint32_t* ip, uint16_t* port, int* error) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    *error = Translate(errno);
    return kNoSocket;
  }
  *ip = a.sin_addr.s_addr;
  *port = ntohs(a.sin_port);
  return fd;
}

int SendSocket(SocketHandle socket, const void* data, int length, int* error) {
  ssize_t n;
  do {
    n = ::send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = Translate(errno);
    return -1;
  }
  return static_cast<int>(n);
}

int ReceiveSocket(SocketHandle socket, void* buffer, int length, int* error) {
  ssize_t n;
  do {
    n = ::recv(socket, buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = Translate(errno);
    return -1;
  }
  return static_cast<int>(n);
}

int WaitSocket(SocketHandle socket, bool forWriting, int timeoutMs) {
  pollfd p{};
  p.fd = socket;
  p.events = forWriting ? POLLOUT : POLLIN;
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  if (rc == 0) return 0;
  // An error or hang-up counts as ready: the next call reports what happened.
  return 1;
}

int WaitAnySocketReadable(const SocketHandle* sockets, int count, int timeoutMs, const uint8_t* orWritable) {
  std::vector<pollfd> polled(static_cast<size_t>(std::max(count, 0)));
  for (size_t i = 0; i < polled.size(); ++i) {
    polled[i].fd = sockets[i];
    polled[i].events = static_cast<short>(POLLIN | (orWritable && orWritable[i] ? POLLOUT : 0));
  }
  int rc;
  do {
    rc = ::poll(polled.data(), polled.size(), timeoutMs < 0 ? -1 : timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  return rc > 0 ? 1 : 0;
}

int PendingSocketError(SocketHandle socket) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool SocketLocalName(SocketHandle socket, uint32_t* ip, uint16_t* port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
  *ip = a.sin_addr.s_addr;
  *port = ntohs(a.sin_port);
  return true;
}

bool SocketPeerName(SocketHandle socket, uint32_t* ip, uint16_t* port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
  *ip = a.sin_addr.s_addr;
  *port = ntohs(a.sin_port);
  return true;
}

bool SetSocketReceiveBuffer(SocketHandle socket, int size) {
  return ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
}

std::string SocketErrorText(int error) {
  if (error == kSocketWouldBlock) return "the operation would block";
  if (error == 0) return "closed by the other side";
  return std::strerror(error);
}

}  // namespace pf::platform
