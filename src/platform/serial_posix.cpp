// A serial device on POSIX: termios for the line, poll for the time-outs.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <termios.h>
#include <unistd.h>

#include "platform/deadline.h"
#include "platform/poll_wait.h"
#include "platform/read_loop.h"
#include "platform/transport.h"

namespace kelvaro::platform {
namespace {

int Fd(const Port& port) { return static_cast<int>(port.native); }

bool Open(Port& port, const char* name, const PortAddress&) {
  // Non-blocking, so a device waiting for carrier cannot hold the open; the time-outs
  // below are all done with poll.
  const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // The advisory lock refuses a second holder even where TIOCEXCL does not (root ignores it).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  // Exclusive use for the rest; a device that is not a terminal fails here and is refused
  // later, when its settings are applied.
  ioctl(fd, TIOCEXCL);
  port.native = fd;
  return true;
}

// USB serial adapters hold received bytes back for up to their latency timer (16 ms on
// common ones) before passing them on; a driver that supports low latency turns it down to
// 1 ms. A device whose driver does not (a pseudo-terminal, a plain UART) is left as it is.
void AskForLowLatency(int fd) {
#ifdef TIOCGSERIAL
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

bool ApplyTimeouts(Port& port) {
  // The time-outs are kept by Read and Write; only a terminal can honour them.
  termios current{};
  return tcgetattr(Fd(port), &current) == 0;
}

bool ApplyLineSettings(Port& port) {
  // Built from scratch, not from what the device had: raw 8N1 at 38400, no flow control,
  // no character translation, receiver on, modem status lines ignored.
  termios settings{};
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);
  if (tcsetattr(Fd(port), TCSANOW, &settings) != 0) return false;

  // DTR and RTS up. A pseudo-terminal has no modem lines and says ENOTTY (or EINVAL):
  // that is not a refusal.
  const int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(Fd(port), TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) return false;
  AskForLowLatency(Fd(port));
  return true;
}

bool SetEventMask(Port& port) {
  // Nothing waits on port events here; the port only has to be there.
  return fcntl(Fd(port), F_GETFD) != -1;
}

bool Write(Port& port, const std::uint8_t* bytes, std::size_t count) {
  const int fd = Fd(port);
  const Deadline deadline(kWriteTotalMs);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t written = write(fd, bytes + done, count - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) {
      port.gone = errno == EIO || errno == ENXIO || errno == EBADF || errno == ENODEV;
      return false;
    }
    const short ready = WaitFor(fd, POLLOUT, deadline);
    // A write that runs out of time ends like one on a COM port: done, with what went out
    // (the lens's silence then shows as a read time-out). Hang-up or error is a refusal.
    if (ready == 0) return true;
    if (!(ready & POLLOUT)) {
      port.gone = true;
      return false;
    }
  }
  return true;
}

long Receive(void* context, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  const int fd = Fd(*static_cast<Port*>(context));
  const short ready = WaitFor(fd, POLLIN, Deadline(wait_ms));
  if (ready == 0) return 0;
  if (!(ready & POLLIN)) return -1;  // hang-up or error with nothing to read: the device is gone
  const ssize_t n = read(fd, buffer, capacity);
  if (n > 0) return static_cast<long>(n);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  return -1;  // end of file or EIO: nothing more will come
}

std::size_t Read(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  return ReadWithTimeouts(Receive, &port, buffer, capacity, complete, port.gone);
}

std::size_t ReadPending(Port& port, std::uint8_t* buffer, std::size_t capacity) {
  return ReadArrived(Receive, &port, buffer, capacity, port.gone);
}

void Close(Port& port) {
  const int fd = Fd(port);
  // Another process may still hold the terminal; it would keep the exclusive flag and
  // refuse the next open by anyone but root.
  ioctl(fd, TIOCNXCL);
  close(fd);
}

}  // namespace

const Transport kDeviceTransport{Open,  ApplyTimeouts, ApplyLineSettings, SetEventMask,
                                 Write, Read,          ReadPending,       Close};

}  // namespace kelvaro::platform
