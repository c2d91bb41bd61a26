#include "core/frame.h"

namespace kelvaro {

std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  return sum;
}

std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count) {
  return static_cast<std::uint8_t>(0x100 - ByteSum(bytes, count));
}

bool IsWholeFrame(const std::uint8_t* bytes, std::size_t count) {
  return count >= kMinFrameBytes && count == static_cast<std::size_t>(bytes[0]) + kMinFrameBytes &&
         ByteSum(bytes, count) == 0;
}

std::size_t BuildRequest(std::uint8_t function, std::uint16_t value, std::size_t data_count,
                         std::uint8_t (&frame)[kMaxRequestBytes]) {
  if (data_count > 2) data_count = 2;
  std::size_t length = 0;
  frame[length++] = static_cast<std::uint8_t>(data_count);
  frame[length++] = function;
  if (data_count == 2) frame[length++] = static_cast<std::uint8_t>(value >> 8);
  if (data_count >= 1) frame[length++] = static_cast<std::uint8_t>(value & 0xFF);
  frame[length] = FrameChecksum(frame, length);
  return length + 1;
}

std::uint16_t DecodeReplyValue(const std::uint8_t* reply, std::size_t count) {
  if (count >= 5) return static_cast<std::uint16_t>((reply[2] << 8) | reply[3]);
  if (count == 4) return reply[2];
  return 0;
}

}  // namespace kelvaro
