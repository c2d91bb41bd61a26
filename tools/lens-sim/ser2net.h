// The real ser2net in front of a simulated lens's device, for the tests, the benchmark and
// the soak: a raw TCP accepter and a Telnet one with COM port control, each on a free
// loopback port, its files in a directory of the caller's.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "loopback.h"

namespace lenssim {

class Ser2net {
 public:
  // `program` is a path, or a name looked up in PATH. Not started yet.
  Ser2net(std::string program, const std::string& dir, const std::string& device)
      : program_(std::move(program)) {
    tcp_port_ = FreePort();
    do telnet_port_ = FreePort();
    while (telnet_port_ == tcp_port_);
    files_ = dir + "/ser2net-" + std::to_string(::getpid()) + "-" + std::to_string(tcp_port_);
    std::ofstream(files_ + ".yaml") << "connection: &raw\n"
                                    << "    accepter: tcp,127.0.0.1," << tcp_port_ << "\n"
                                    << "    connector: serialdev," << device << ",38400n81,local\n"
                                    << "connection: &telnet\n"
                                    << "    accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_port_ << "\n"
                                    << "    connector: serialdev," << device << ",38400n81,local\n";
  }
  ~Ser2net() {
    Stop();
    for (const char* suffix : {".yaml", ".pid", ".err"}) std::remove((files_ + suffix).c_str());
  }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  // Starts it and waits until both ports listen; false when they did not within 5 s.
  bool Start() {
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      // It goes with the program that started it, however that ends.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int null = ::open("/dev/null", O_WRONLY);
      const int err = ::open((files_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (null >= 0) ::dup2(null, 1);
      if (err >= 0) ::dup2(err, 2);
      // -u: no UUCP lock files in the system's lock directory.
      ::execlp(program_.c_str(), "ser2net", "-n", "-d", "-u", "-c", (files_ + ".yaml").c_str(), "-P",
               (files_ + ".pid").c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ < 0) return false;
    for (int i = 0; i < 500 && !Up(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Up();
  }

  // Kills it, as a server that crashes or loses power goes.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool Up() const { return Listening(tcp_port_) && Listening(telnet_port_); }
  pid_t Pid() const { return pid_; }
  std::string Url(bool telnet) const {
    return (telnet ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(telnet ? telnet_port_ : tcp_port_);
  }
  // What it wrote to its standard error.
  std::string Err() const {
    std::ifstream in(files_ + ".err");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string program_;
  std::string files_;
  int tcp_port_ = 0;
  int telnet_port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace lenssim
