// The lens's port, as the library needs it: open exclusively, fix the line settings, write
// one frame, read one reply within the lens's time-outs, close. A serial device, or a serial
// device server on the network (transport.h). This layer knows nothing of the lens protocol.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro::platform {

// An open serial device; kNoPort means none. Opaque to everything above this layer.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kNoPort = 0;

// Read/write time-outs in milliseconds. A read ends ReadIntervalMs after its last byte,
// ReadTotalMs after it began, or when the buffer is full, whichever comes first.
inline constexpr int kReadIntervalMs = 100;
inline constexpr int kReadTotalMs = 500;
inline constexpr int kWriteTotalMs = 500;

// Whether `name` can name a port at all: a device name, or a well-formed URL (port_name.h).
bool PortNameWellFormed(const char* name);

// Opens the named port for reading and writing: a device exclusively, only if it exists;
// "tcp://HOST:PORT" and "rfc2217://HOST:PORT" by connecting to the server (2 s at most).
// Returns kNoPort when it cannot be opened (absent, held by someone else, denied, refused,
// unknown host, malformed or NULL name).
PortHandle SerialOpen(const char* name);

// Each returns false when the device refuses; the port stays open either way.
bool SerialApplyTimeouts(PortHandle port);
bool SerialApplyLineSettings(PortHandle port);  // 38400 8N1, binary, no flow control, DTR+RTS up
bool SerialSetEventMask(PortHandle port);       // transmit-empty only; never waited on

// Writes the bytes, giving up after the write time-out; false only when the device refuses
// (an error or hang-up). A write cut short by the time-out counts as done, as on a COM port.
bool SerialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count);

// Says whether the bytes read so far are all a read has to wait for.
struct ReadComplete {
  bool (*test)(const void* context, const std::uint8_t* bytes, std::size_t count);
  const void* context;
  bool operator()(const std::uint8_t* bytes, std::size_t count) const { return test(context, bytes, count); }
};

// One read of up to `capacity` bytes ended by the read time-outs, or as soon as `complete`
// (when given) accepts what has arrived; returns the count delivered.
std::size_t SerialRead(PortHandle port, std::uint8_t* buffer, std::size_t capacity,
                       const ReadComplete* complete = nullptr);

// What the device has received and not yet been read, without waiting: up to `capacity`
// bytes; the rest stays for the next call.
std::size_t SerialReadPending(PortHandle port, std::uint8_t* buffer, std::size_t capacity);

// True once the port has seen its device or connection go away (a hang-up, an I/O error,
// a connection the server dropped): it will not come back without being opened again.
bool SerialGone(PortHandle port);

void SerialClose(PortHandle port);

}  // namespace kelvaro::platform
