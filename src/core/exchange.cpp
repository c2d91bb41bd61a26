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

void CaptureName(LinkState& link, const std::uint8_t* reply, std::size_t count) {
  // Everything between the function code and the checksum; a read holds at most 149 bytes,
  // so at most 146 characters, which LensNameText always has room for.
  std::size_t length = count - kMinFrameBytes;
  if (length > kNameCapacity - 1) length = kNameCapacity - 1;
  std::memcpy(link.LensNameText, reply + 2, length);
  link.LensNameText[length] = '\0';
}

}  // namespace

int SendRequest(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  if (link.port == platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  // A reply that came after its read ended would otherwise be taken for this one's.
  if (link.discard_stale) platform::SerialDiscardInput(link.port);
  std::uint8_t frame[kMaxRequestBytes];
  const std::size_t length = BuildRequest(function, value, data_count, frame);
  return platform::SerialWrite(link.port, frame, length) ? KELVARO_OK : KELVARO_GENERAL_FAILURE;
}

int ReadReply(LinkState& link, std::uint8_t expected_function) {
  std::memset(link.reply, 0, sizeof link.reply);
  const std::size_t count =
      platform::SerialRead(link.port, link.reply, kMaxReplyBytes, link.frame_ended ? IsWholeFrame : nullptr);
  link.reply_count = static_cast<std::uint32_t>(count);

  if (count == 0) return KELVARO_TIMEOUT;
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(link.reply, count) != 0) return KELVARO_BAD_CHECKSUM;

  link.ReplyValue = DecodeReplyValue(link.reply, count);
  const std::uint8_t function = link.reply[1];
  if (function == kNameReply && count > kMinFrameBytes) CaptureName(link, link.reply, count);
  return function == expected_function ? KELVARO_OK : KELVARO_WRONG_REPLY_CODE;
}

int Exchange(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  const int sent = SendRequest(link, function, value, data_count);
  return sent != KELVARO_OK ? sent : ReadReply(link, function);
}

bool Query(LinkState& link, std::uint8_t function, int& code) {
  code = SendRequest(link, function, 0, 0);
  if (code != KELVARO_OK) return false;
  code = ReadReply(link, function);
  return true;
}

int Handshake(LinkState& link) { return Exchange(link, kHandshake); }

int ConnectLens(LinkState& link) {
  if (!link.initialised) return KELVARO_NOT_INITIALIZED;
  return Handshake(link);
}

}  // namespace kelvaro

extern "C" {

KELVARO_API(int) Connect(void) {
  kelvaro::platform::LibraryLock lock;
  return kelvaro::ConnectLens(kelvaro::g_link);
}

KELVARO_API(int) Reset(void) {
  kelvaro::platform::LibraryLock lock;
  return kelvaro::Handshake(kelvaro::g_link);
}

}  // extern "C"
