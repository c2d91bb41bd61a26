// The simulator's end of a byte stream, which its serving threads read and write: a
// pseudo-terminal (POSIX only) or a TCP port that serves one client at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lenssim {

class Line {
 public:
  virtual ~Line() = default;

  // What a host opens: "/dev/pts/7" or "tcp://127.0.0.1:4001".
  virtual const std::string& Name() const = 0;
  // Waits up to timeout_ms (-1: no end) for bytes to read, for room to write when `want_out`,
  // for a client to take, or for Wake. False once the line is unusable for good.
  virtual bool Wait(bool want_out, int timeout_ms) = 0;
  // What has arrived, without waiting: a count, 0 for nothing now, -1 when the line is gone.
  // A TCP client that leaves gives 0; the next one waiting is then taken.
  virtual long Read(std::uint8_t* buffer, std::size_t size) = 0;
  // How many of `count` bytes the line took (0 when it is full), -1 when it is gone. With no
  // TCP client, bytes go nowhere, as into an unplugged cable.
  virtual long Write(const std::uint8_t* bytes, std::size_t count) = 0;
  // Ends a Wait of another thread early.
  virtual void Wake() = 0;
  // Gives the reader up to a second to take what was written before the line is closed.
  virtual void Settle() {}
};

using LineOpener = std::function<std::unique_ptr<Line>()>;

#ifndef _WIN32
// A raw pseudo-terminal at 38400 baud. Throws std::system_error.
std::unique_ptr<Line> OpenPtyLine();
#endif

// HOST:PORT (an IPv6 address in brackets, "[::1]:0") split in two; throws
// std::invalid_argument for text without a port.
struct TcpAddress {
  std::string host;
  std::string port;
};
TcpAddress ParseTcpAddress(const std::string& text);

// Listens on `address` (port 0: a free one). Each call after the first listens on the port
// the first one got, so a replugged lens comes back where hosts look for it. The opener
// throws std::system_error or std::runtime_error.
LineOpener TcpLineOpener(const TcpAddress& address);

}  // namespace lenssim
