// Loopback ports for the programs that put a serial device server (ser2net) in front of a
// simulated lens: the tests, the benchmark and the soak.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace lenssim {

// A loopback port nobody listens on at the moment it is asked for.
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Whether something listens on the loopback port, read from the kernel's table rather than
// by connecting: a probe connection would keep ser2net's port busy for a moment.
inline bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char wanted[40];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
  for (std::string line; std::getline(table, line);) {
    if (line.find(wanted) != std::string::npos) return true;
  }
  return false;
}

}  // namespace lenssim
