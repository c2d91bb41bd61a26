// The lens frame, both directions: [N][function][N data bytes][checksum], where the checksum
// makes the 8-bit sum of the whole frame zero. Pure helpers, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro {

inline constexpr std::size_t kMaxRequestBytes = 5;  // N is 0, 1 or 2
inline constexpr std::size_t kMinFrameBytes = 3;    // N = 0
// A read asks for at most this many bytes, so no longer frame is ever a reply.
inline constexpr std::size_t kMaxReplyBytes = 149;

// The 8-bit sum of `count` bytes.
std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count);

// Two's complement of the sum: the byte that closes a frame.
std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count);

// Whether `count` bytes are exactly one whole frame: at least 3, as many as the length byte
// says (N + 3), summing to 0. A frame-ended read stops at the first such count.
bool IsWholeFrame(const std::uint8_t* bytes, std::size_t count);

// Builds a request with `data_count` (0, 1 or 2) data bytes taken from `value`: one byte is
// its low 8 bits, two bytes its low 16 bits high byte first. Returns the frame's length.
std::size_t BuildRequest(std::uint8_t function, std::uint16_t value, std::size_t data_count,
                         std::uint8_t (&frame)[kMaxRequestBytes]);

// The number a reply of `count` bytes carries, read from offset 2 whatever its length byte
// says: 0 for 3 bytes, the data byte for 4, the first two data bytes high first for more.
std::uint16_t DecodeReplyValue(const std::uint8_t* reply, std::size_t count);

}  // namespace kelvaro
