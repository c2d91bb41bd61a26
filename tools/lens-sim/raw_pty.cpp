#include "raw_pty.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace lenssim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&tio);
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
}

void AddFdFlags(int fd, int fd_flags, int status_flags) {
  if (fd_flags != 0 && fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | fd_flags) != 0) ThrowErrno("fcntl");
  if (status_flags != 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | status_flags) != 0) {
    ThrowErrno("fcntl");
  }
}

}  // namespace

void OpenWakePipe(int& read_end, int& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
  read_end = fds[0];
  write_end = fds[1];
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

RawPty OpenRawPty() {
  RawPty pty;
  try {
    char name[128] = {};
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) ThrowErrno("openpty");
    pty.path = name;
    MakeRaw(pty.master);
    MakeRaw(pty.slave);
    // Close-on-exec: a child holding the master would keep the line alive across a hang-up.
    AddFdFlags(pty.master, FD_CLOEXEC, O_NONBLOCK);
    AddFdFlags(pty.slave, FD_CLOEXEC, 0);
  } catch (...) {
    CloseFd(pty.master);
    CloseFd(pty.slave);
    throw;
  }
  return pty;
}

}  // namespace lenssim
