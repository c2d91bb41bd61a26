// The lens's read time-outs, kept by the library for ports whose system cannot keep them:
// a read ends 100 ms after its last data byte, 500 ms after it began, when the buffer is
// full, or as soon as `complete` accepts what has arrived.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/serial.h"

namespace kelvaro::platform {

// Receives into `buffer` within `wait_ms`: the number of data bytes (0 when none came in
// time, or only bytes that are not data), or -1 when the port is gone.
using Receive = long (*)(void* context, std::uint8_t* buffer, std::size_t capacity, int wait_ms);

// Sets `gone` when the port went away during the read.
std::size_t ReadWithTimeouts(Receive receive, void* context, std::uint8_t* buffer, std::size_t capacity,
                             const ReadComplete* complete, bool& gone);

// What has already arrived, by receives of no wait until one brings nothing or the buffer
// is full. Sets `gone` when the port went away.
std::size_t ReadArrived(Receive receive, void* context, std::uint8_t* buffer, std::size_t capacity, bool& gone);

}  // namespace kelvaro::platform
