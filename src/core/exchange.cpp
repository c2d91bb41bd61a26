#include "core/exchange.h"

#include <cstring>

#include "Kelvaro32.h"
#include "core/frame.h"
#include "core/link_state.h"
#include "platform/timer.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kHandshake = 0x01;
constexpr std::uint8_t kNameReply = 0x11;
constexpr std::size_t kMinFrameBytes = 3;

void CaptureName(const std::uint8_t* reply, std::size_t count) {
  // Everything between the function code and the checksum; a read holds at most 149 bytes,
  // so at most 146 characters, which LensNameText always has room for.
  std::size_t length = count - kMinFrameBytes;
  if (length > kNameCapacity - 1) length = kNameCapacity - 1;
  std::memcpy(g_link.LensNameText, reply + 2, length);
  g_link.LensNameText[length] = '\0';
}

}  // namespace

int SendRequest(std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  if (g_link.port == platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  std::uint8_t frame[kMaxRequestBytes];
  const std::size_t length = BuildRequest(function, value, data_count, frame);
  return platform::SerialWrite(g_link.port, frame, length) ? KELVARO_OK : KELVARO_GENERAL_FAILURE;
}

int ReadReply(std::uint8_t expected_function) {
  std::memset(g_link.reply, 0, sizeof g_link.reply);
  const std::size_t count = platform::SerialRead(g_link.port, g_link.reply, kMaxReplyBytes);
  g_link.reply_count = static_cast<std::uint32_t>(count);

  if (count == 0) return KELVARO_TIMEOUT;
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(g_link.reply, count) != 0) return KELVARO_BAD_CHECKSUM;

  g_link.ReplyValue = DecodeReplyValue(g_link.reply, count);
  const std::uint8_t function = g_link.reply[1];
  if (function == kNameReply && count > kMinFrameBytes) CaptureName(g_link.reply, count);
  return function == expected_function ? KELVARO_OK : KELVARO_WRONG_REPLY_CODE;
}

int Exchange(std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  const int sent = SendRequest(function, value, data_count);
  return sent != KELVARO_OK ? sent : ReadReply(function);
}

bool Query(std::uint8_t function, int& code) {
  code = SendRequest(function, 0, 0);
  if (code != KELVARO_OK) return false;
  code = ReadReply(function);
  return true;
}

int Handshake() { return Exchange(kHandshake); }

int ConnectLens() {
  if (!g_link.initialised) return KELVARO_NOT_INITIALIZED;
  return Handshake();
}

}  // namespace kelvaro

extern "C" {

KELVARO_API(int) Connect(void) {
  kelvaro::platform::LibraryLock lock;
  return kelvaro::ConnectLens();
}

KELVARO_API(int) Reset(void) {
  kelvaro::platform::LibraryLock lock;
  return kelvaro::Handshake();
}

}  // extern "C"
