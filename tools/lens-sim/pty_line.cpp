// The line on a raw pseudo-terminal, with a pipe that wakes its waits.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "line.h"
#include "raw_pty.h"

namespace lenssim {

namespace {

class PtyLine : public Line {
 public:
  PtyLine() {
    pty_ = OpenRawPty();
    try {
      OpenWakePipe(wake_read_, wake_write_);
    } catch (...) {
      Close();
      throw;
    }
  }
  ~PtyLine() override { Close(); }

  const std::string& Name() const override { return pty_.path; }

  bool Wait(bool want_out, int timeout_ms) override {
    pollfd fds[2] = {{pty_.master, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                     {wake_read_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout_ms);
    if (ready < 0) return errno == EINTR;
    if (fds[1].revents & POLLIN) {
      std::uint8_t drain[64];
      while (::read(wake_read_, drain, sizeof drain) > 0) {
      }
    }
    // Cannot happen while the slave is held open; never spin on it.
    return !(fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) || (fds[0].revents & POLLIN);
  }

  long Read(std::uint8_t* buffer, std::size_t size) override {
    const ssize_t n = ::read(pty_.master, buffer, size);
    if (n > 0) return static_cast<long>(n);
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  }

  long Write(const std::uint8_t* bytes, std::size_t count) override {
    const ssize_t n = ::write(pty_.master, bytes, count);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  }

  void Wake() override {
    const std::uint8_t byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by failing.
    [[maybe_unused]] const ssize_t n = ::write(wake_write_, &byte, 1);
  }

  // Closing the master hangs the line up, which throws away what the reader has not read yet.
  void Settle() override {
    for (int i = 0; i < 200; ++i) {
      // Polling the slave lands what is still in the pty's buffer, which FIONREAD does not count.
      pollfd landed{pty_.slave, POLLIN, 0};
      ::poll(&landed, 1, 0);
      int waiting = 0;
      if (::ioctl(pty_.slave, FIONREAD, &waiting) != 0 || waiting == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  void Close() {
    CloseFd(pty_.master);
    CloseFd(pty_.slave);
    CloseFd(wake_read_);
    CloseFd(wake_write_);
  }

  RawPty pty_;
  int wake_read_ = -1;
  int wake_write_ = -1;
};

}  // namespace

std::unique_ptr<Line> OpenPtyLine() { return std::make_unique<PtyLine>(); }

}  // namespace lenssim
