// What a port name says: a serial device as the system names it, or a lens behind a serial
// device server, "tcp://HOST:PORT" (a raw byte stream) or "rfc2217://HOST:PORT" (Telnet with
// COM port control). HOST is a name, an IPv4 address or a bracketed IPv6 address. Pure.
#pragma once

#include <cstddef>

namespace kelvaro::platform {

enum class PortKind { kDevice, kTcp, kRfc2217, kMalformed };

struct PortAddress {
  PortKind kind = PortKind::kMalformed;
  // For kTcp and kRfc2217: the host without brackets, and the port number (1 to 65535).
  static constexpr std::size_t kMaxHost = 253;  // the longest DNS name
  char host[kMaxHost + 1] = {};
  bool host_is_ipv6 = false;
  unsigned port = 0;
};

// Anything that does not start with a known scheme is a device name (NULL and "" are
// malformed). A name with a scheme that is not well formed is malformed: no port, port 0 or
// above 65535, an overlong or empty host, an unterminated bracket, bytes outside printable
// ASCII.
PortAddress ParsePortName(const char* name);

}  // namespace kelvaro::platform
