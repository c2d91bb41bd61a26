// The kinds of port behind serial.h, each in a file of its own: a serial device (one file
// per platform), a raw TCP stream and Telnet with COM port control (over socket.h). The
// port's name picks one, in serial.cpp; the core never learns which.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/port_name.h"
#include "platform/serial.h"
#include "platform/telnet.h"

namespace kelvaro::platform {

struct Port;

struct Transport {
  bool (*open)(Port& port, const char* name, const PortAddress& address);
  bool (*apply_timeouts)(Port& port);
  bool (*apply_line_settings)(Port& port);
  bool (*set_event_mask)(Port& port);
  bool (*write)(Port& port, const std::uint8_t* bytes, std::size_t count);
  std::size_t (*read)(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete);
  std::size_t (*read_pending)(Port& port, std::uint8_t* buffer, std::size_t capacity);
  void (*close)(Port& port);
};

// An open port: what its transport keeps. A PortHandle points to one.
struct Port {
  const Transport* transport = nullptr;
  std::intptr_t native = 0;  // the descriptor, HANDLE or socket
  bool gone = false;         // the device or connection went away; set by the transport
  telnet::Receiver telnet;   // the Telnet transport's receive state
  std::atomic<bool> in_use{false};
};

extern const Transport kDeviceTransport;   // serial_posix.cpp, serial_win32.cpp
extern const Transport kTcpTransport;      // network_ports.cpp
extern const Transport kRfc2217Transport;  // network_ports.cpp

}  // namespace kelvaro::platform
