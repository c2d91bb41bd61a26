// A TCP connection to a serial device server, as the network transports need it. One
// implementation file per platform; nothing here knows Telnet or the lens.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/port_name.h"

namespace kelvaro::platform {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Connects to the address's host and port within `timeout_ms`; kNoSocket when the host is
// unknown, the connection refused or the time ran out. Small writes go out at once.
Socket SocketConnect(const PortAddress& address, int timeout_ms);

// Sends all bytes within `timeout_ms`. False when the connection is gone; a send that runs
// out of time counts as done, as a write to a COM port does.
bool SocketSend(Socket socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms);

// Receives what has arrived within `wait_ms`: the count, 0 when nothing came, -1 when the
// connection is gone (closed by the server, reset, an error).
long SocketReceive(Socket socket, std::uint8_t* buffer, std::size_t capacity, int wait_ms);

void SocketClose(Socket socket);

}  // namespace kelvaro::platform
