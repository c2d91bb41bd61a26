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

namespace kelvaro_test {

using lenssim::FreePort;
using lenssim::Listening;

// ser2net serving one device on a raw TCP port and on a Telnet (COM port control) port.
class Ser2net {
 public:
  explicit Ser2net(const std::string& device) : device_(device), tcp_port_(FreePort()), telnet_port_(FreePort()) {
    config_ = ::testing::TempDir() + "ser2net-" + std::to_string(getpid()) + "-" + std::to_string(tcp_port_) + ".yaml";
    std::ofstream(config_) << "connection: &raw\n"
                           << "    accepter: tcp,127.0.0.1," << tcp_port_ << "\n"
                           << "    connector: serialdev," << device_ << ",38400n81,local\n"
                           << "connection: &telnet\n"
                           << "    accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                           << "    connector: serialdev," << device_ << ",38400n81,local\n";
    Start();
  }
  ~Ser2net() {
    Stop();
    std::remove(config_.c_str());
  }

  void Start() {
    pid_ = fork();
    if (pid_ == 0) {
      // Its output would only clutter the test's.
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execlp("ser2net", "ser2net", "-n", "-d", "-c", config_.c_str(), "-P", (config_ + ".pid").c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 300 && !(Listening(tcp_port_) && Listening(telnet_port_)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(Listening(tcp_port_) && Listening(telnet_port_)) << "ser2net did not start";
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string TcpUrl() const { return "tcp://127.0.0.1:" + std::to_string(tcp_port_); }
  std::string TelnetUrl() const { return "rfc2217://127.0.0.1:" + std::to_string(telnet_port_); }

 private:
  std::string device_;
  int tcp_port_;
  int telnet_port_;
  std::string config_;
  pid_t pid_ = -1;
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
