// The line on a TCP port: a listening socket and at most one client, taken in turn. A wait
// is woken by a datagram that a loopback UDP socket sends itself, which works the same with
// poll and with Winsock's WSAPoll.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <mutex>
#include <stdexcept>
#include <system_error>

#include "line.h"

namespace lenssim {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
void CloseSocket(Socket s) { ::closesocket(s); }
int PollSockets(pollfd* fds, unsigned long count, int timeout_ms) { return ::WSAPoll(fds, count, timeout_ms); }
void MakeNonBlocking(Socket s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}
Socket NewSocket(int family, int type, int protocol) { return ::socket(family, type, protocol); }
void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  });
}
constexpr int kSendFlags = 0;
#else
using Socket = int;
const Socket kNoSocket = -1;
int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
void CloseSocket(Socket s) { ::close(s); }
int PollSockets(pollfd* fds, unsigned long count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
void MakeNonBlocking(Socket s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }
Socket NewSocket(int family, int type, int protocol) { return ::socket(family, type | SOCK_CLOEXEC, protocol); }
void StartSockets() {}
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client gone mid-write is an error, not a signal
#endif

class TcpLine : public Line {
 public:
  TcpLine(const TcpAddress& address, std::string* bound_port) {
    StartSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0 || found == nullptr) {
      throw std::runtime_error("cannot resolve " + address.host + ":" + address.port);
    }
    listener_ = NewSocket(found->ai_family, SOCK_STREAM, 0);
    const int family = found->ai_family;
#ifndef _WIN32
    // A replugged lens listens on the port again at once, despite connections in TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const bool bound = listener_ != kNoSocket &&
                       ::bind(listener_, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
    ::freeaddrinfo(found);
    // A backlog of one: the second client's connection waits there until the first leaves.
    if (!bound || ::listen(listener_, 1) != 0) {
      const int error = LastError();
      Close();
      throw std::system_error(error, std::system_category(), "cannot listen on " + address.host + ":" + address.port);
    }
    MakeNonBlocking(listener_);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
    const unsigned port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    *bound_port = std::to_string(port);
    const bool bracket = address.host.find(':') != std::string::npos;
    name_ = "tcp://" + (bracket ? "[" + address.host + "]" : address.host) + ":" + *bound_port;
    OpenWake();
  }
  ~TcpLine() override { Close(); }

  const std::string& Name() const override { return name_; }

  bool Wait(bool want_out, int timeout_ms) override {
    pollfd fds[2] = {};
    fds[0].fd = client_ != kNoSocket ? client_ : listener_;
    fds[0].events = static_cast<short>(POLLIN | (client_ != kNoSocket && want_out ? POLLOUT : 0));
    fds[1].fd = wake_;
    fds[1].events = POLLIN;
    const int ready = PollSockets(fds, 2, timeout_ms);
    if (ready < 0) return WouldBlock(LastError());
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::recv(wake_, drain, sizeof drain, 0) > 0) {
      }
    }
    if (client_ == kNoSocket && (fds[0].revents & POLLIN)) {
      client_ = ::accept(listener_, nullptr, nullptr);
      if (client_ != kNoSocket) {
        MakeNonBlocking(client_);
        const int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      }
    }
    return true;
  }

  long Read(std::uint8_t* buffer, std::size_t size) override {
    if (client_ == kNoSocket) return 0;
    const auto n = ::recv(client_, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && WouldBlock(LastError())) return 0;
    DropClient();  // it left, or its connection broke
    return 0;
  }

  long Write(const std::uint8_t* bytes, std::size_t count) override {
    if (client_ == kNoSocket) return static_cast<long>(count);
    const auto n = ::send(client_, reinterpret_cast<const char*>(bytes), static_cast<int>(count), kSendFlags);
    if (n >= 0) return static_cast<long>(n);
    if (WouldBlock(LastError())) return 0;
    DropClient();
    return static_cast<long>(count);
  }

  void Wake() override {
    const char byte = 1;
    ::send(wake_, &byte, 1, 0);  // a full buffer already holds a wake-up
  }

 private:
  // A UDP socket on loopback, connected to itself.
  void OpenWake() {
    wake_ = NewSocket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof self;
    if (wake_ == kNoSocket || ::bind(wake_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(wake_, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(wake_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
      const int error = LastError();
      Close();
      throw std::system_error(error, std::system_category(), "cannot make the wake-up socket");
    }
    MakeNonBlocking(wake_);
  }

  void DropClient() {
    CloseSocket(client_);
    client_ = kNoSocket;
  }

  void Close() {
    for (Socket* s : {&client_, &listener_, &wake_}) {
      if (*s != kNoSocket) CloseSocket(*s);
      *s = kNoSocket;
    }
  }

  std::string name_;
  Socket listener_ = kNoSocket;
  Socket client_ = kNoSocket;
  Socket wake_ = kNoSocket;
};

}  // namespace

TcpAddress ParseTcpAddress(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size() ||
      text.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
    throw std::invalid_argument("\"" + text + "\" is not HOST:PORT");
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) throw std::invalid_argument("\"" + text + "\" has no host");
  return {host, text.substr(colon + 1)};
}

LineOpener TcpLineOpener(const TcpAddress& address) {
  auto where = std::make_shared<TcpAddress>(address);
  return [where]() -> std::unique_ptr<Line> { return std::make_unique<TcpLine>(*where, &where->port); };
}

}  // namespace lenssim
