// TCP on Win32: Winsock (ws2_32.dll, a system DLL), non-blocking sockets and select for
// every wait. Winsock is started on first use and left running until the process ends.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "platform/deadline.h"

namespace kelvaro::platform {
namespace {

INIT_ONCE g_started = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK StartWinsock(PINIT_ONCE, PVOID, PVOID*) {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SOCKET Of(Socket socket) { return static_cast<SOCKET>(socket); }

// Waits until the socket can be written (`write`) or read, or the deadline; 1 ready, 0 time-out,
// -1 error.
int WaitFor(SOCKET s, bool write, const Deadline& deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  const int ms = deadline.RemainingMs();
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
  if (n < 0 || FD_ISSET(s, &failed)) return -1;
  return n == 0 ? 0 : 1;
}

SOCKET ConnectTo(const sockaddr* address, int length, const Deadline& deadline) {
  SOCKET s = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  u_long non_blocking = 1;
  ioctlsocket(s, FIONBIO, &non_blocking);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  if (connect(s, address, length) != 0) {
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      int size = sizeof error;
      if (WaitFor(s, true, deadline) != 1 ||
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
        error = WSAETIMEDOUT;
      }
    }
    if (error != 0) {
      closesocket(s);
      return INVALID_SOCKET;
    }
  }
  return s;
}

}  // namespace

Socket SocketConnect(const PortAddress& address, int timeout_ms) {
  if (!InitOnceExecuteOnce(&g_started, StartWinsock, nullptr, nullptr)) return kNoSocket;
  const Deadline deadline(timeout_ms);
  addrinfo hints{};
  hints.ai_family = address.host_is_ipv6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  char service[8];
  std::snprintf(service, sizeof service, "%u", address.port);
  addrinfo* found = nullptr;
  if (getaddrinfo(address.host, service, &hints, &found) != 0) return kNoSocket;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* a = found; a != nullptr && s == INVALID_SOCKET && !deadline.Expired(); a = a->ai_next) {
    s = ConnectTo(a->ai_addr, static_cast<int>(a->ai_addrlen), deadline);
  }
  freeaddrinfo(found);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool SocketSend(Socket socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms) {
  const SOCKET s = Of(socket);
  const Deadline deadline(timeout_ms);
  std::size_t done = 0;
  while (done < count) {
    const int sent = send(s, reinterpret_cast<const char*>(bytes + done), static_cast<int>(count - done), 0);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    const int ready = WaitFor(s, true, deadline);
    if (ready == 0) return true;  // out of time: done, as a COM port write
    if (ready < 0) return false;
  }
  return true;
}

long SocketReceive(Socket socket, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  const SOCKET s = Of(socket);
  const int ready = WaitFor(s, false, Deadline(wait_ms));
  if (ready == 0) return 0;
  if (ready < 0) return -1;
  const int n = recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
  if (n > 0) return n;
  if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return -1;  // closed by the server, or reset
}

void SocketClose(Socket socket) {
  if (socket != kNoSocket) closesocket(Of(socket));
}

}  // namespace kelvaro::platform
