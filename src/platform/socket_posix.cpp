// TCP on POSIX: non-blocking sockets, poll for every wait.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/deadline.h"
#include "platform/poll_wait.h"
#include "platform/socket.h"

namespace kelvaro::platform {
namespace {

int ConnectTo(const sockaddr* address, socklen_t length, const Deadline& deadline) {
  const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a request is a few bytes: send it now
  if (connect(fd, address, length) != 0) {
    int error = errno;
    if (error == EINPROGRESS) {
      const short ready = WaitFor(fd, POLLOUT, deadline);
      socklen_t size = sizeof error;
      if (ready == 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = ETIMEDOUT;
    }
    if (error != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

Socket SocketConnect(const PortAddress& address, int timeout_ms) {
  const Deadline deadline(timeout_ms);
  const auto port = static_cast<std::uint16_t>(address.port);
  // Numeric addresses need no resolver.
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET6, address.host, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    return ConnectTo(reinterpret_cast<sockaddr*>(&v6), sizeof v6, deadline);
  }
  if (address.host_is_ipv6) return kNoSocket;
  sockaddr_in v4{};
  if (inet_pton(AF_INET, address.host, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    return ConnectTo(reinterpret_cast<sockaddr*>(&v4), sizeof v4, deadline);
  }
  // A host name: the system's resolver, then each address in turn while time is left.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char service[8];
  std::snprintf(service, sizeof service, "%u", address.port);
  if (getaddrinfo(address.host, service, &hints, &found) != 0) return kNoSocket;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0 && !deadline.Expired(); a = a->ai_next) {
    fd = ConnectTo(a->ai_addr, a->ai_addrlen, deadline);
  }
  freeaddrinfo(found);
  return fd < 0 ? kNoSocket : fd;
}

bool SocketSend(Socket socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms) {
  const int fd = static_cast<int>(socket);
  const Deadline deadline(timeout_ms);
  std::size_t done = 0;
  while (done < count) {
    // MSG_NOSIGNAL: a connection the server dropped gives an error here, not SIGPIPE.
    const ssize_t sent = send(fd, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const short ready = WaitFor(fd, POLLOUT, deadline);
    if (ready == 0) return true;
    if (!(ready & POLLOUT)) return false;
  }
  return true;
}

long SocketReceive(Socket socket, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  const int fd = static_cast<int>(socket);
  const short ready = WaitFor(fd, POLLIN, Deadline(wait_ms));
  if (ready == 0) return 0;
  if (!(ready & POLLIN)) return -1;  // hang-up or error with nothing to read
  const ssize_t n = recv(fd, buffer, capacity, MSG_DONTWAIT);
  if (n > 0) return static_cast<long>(n);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return -1;  // closed by the server, or reset
}

void SocketClose(Socket socket) {
  if (socket != kNoSocket) close(static_cast<int>(socket));
}

}  // namespace kelvaro::platform
