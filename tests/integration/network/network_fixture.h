// Lenses behind a serial device server: the real ser2net in front of a simulated lens, and
// small scripted servers for what a real one would not do.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "lens_fixture.h"
#include "loopback.h"
#include "ser2net.h"

namespace kelvaro_test {

using lenssim::FreePort;
using lenssim::Listening;

// ser2net serving one device on a raw TCP port and on a Telnet (COM port control) port,
// started at once.
class Ser2net : public lenssim::Ser2net {
 public:
  explicit Ser2net(const std::string& device) : lenssim::Ser2net("ser2net", ::testing::TempDir(), device) { Start(); }

  void Start() { ASSERT_TRUE(lenssim::Ser2net::Start()) << "ser2net did not start: " << Err(); }
  std::string TcpUrl() const { return Url(false); }
  std::string TelnetUrl() const { return Url(true); }
};

// A TCP server on loopback that runs `script` with each connection it accepts, one at a time.
class ScriptedServer {
 public:
  using Script = std::function<void(int connection)>;

  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    thread_ = std::thread([this] {
      for (;;) {
        const int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0 || stop_) {
          if (connection >= 0) close(connection);
          return;
        }
        script_(connection);
        close(connection);
      }
    });
  }
  ~ScriptedServer() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }

  std::string Url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }
  // Whether the script should end (the server is going away).
  bool Stopping() const { return stop_; }

 private:
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kelvaro_test
