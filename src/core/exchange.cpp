#include "core/exchange.h"

#include <cstring>

#include "Kelvaro32.h"
#include "core/frame.h"
#include "core/link_state.h"
#include "platform/deadline.h"
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

// A lens may still send the reply whose read gave up, while the next request is under way;
// it answers in order, so that late reply then comes right before the new one, and the
// receive queue, emptied before the request, cannot have held it. For this long after such
// a read, a link that discards stale bytes reads by the quiet gap, so that both frames are
// seen, and keeps the second; one frame alone could be either, and the request is repeated.
constexpr auto kLateReplyWindow = std::chrono::milliseconds(1000);

// Where the last of two whole frames starts, when the bytes are exactly two; else 0.
std::size_t SecondOfTwoFrames(const std::uint8_t* bytes, std::size_t count) {
  const std::size_t first = static_cast<std::size_t>(bytes[0]) + kMinFrameBytes;
  if (count <= first || !IsWholeFrame(bytes, first) || !IsWholeFrame(bytes + first, count - first)) return 0;
  return first;
}

// The handle interface takes a reply only when the bytes are one whole frame: a frame cut
// short whose bytes happen to sum to 0, or two frames, are not the reply asked for. In the
// late-reply window one whole frame on its own may be the late reply, with this request
// unanswered: `unsure` says so.
int CheckWholeFrame(LinkState& link, bool late_window, std::size_t& count, bool& unsure) {
  bool second_of_two = false;
  if (late_window) {
    if (const std::size_t second = SecondOfTwoFrames(link.reply, count)) {
      count -= second;
      std::memmove(link.reply, link.reply + second, count);
      std::memset(link.reply + count, 0, sizeof link.reply - count);
      second_of_two = true;
    }
  }
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(link.reply, count) != 0) return KELVARO_BAD_CHECKSUM;
  const std::size_t length = static_cast<std::size_t>(link.reply[0]) + kMinFrameBytes;
  if (count < length) return KELVARO_REPLY_TOO_SHORT;
  if (count > length) return KELVARO_BAD_CHECKSUM;
  unsure = late_window && !second_of_two;
  return KELVARO_OK;
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

int ReadReply(LinkState& link, std::uint8_t expected_function, bool& unsure) {
  unsure = false;
  std::memset(link.reply, 0, sizeof link.reply);
  const auto now = platform::MonotonicClock::now();
  const bool late_window = link.discard_stale && now < link.late_replies_until;
  const platform::ReadComplete complete = link.frame_ended && !late_window ? IsWholeFrame : nullptr;
  std::size_t count = platform::SerialRead(link.port, link.reply, kMaxReplyBytes, complete);

  if (link.discard_stale) {
    const int whole = count == 0 ? KELVARO_TIMEOUT : CheckWholeFrame(link, late_window, count, unsure);
    // Anything but one whole frame may leave the rest of a reply, or all of it, to come late.
    if (whole != KELVARO_OK) link.late_replies_until = now + kLateReplyWindow;
    link.reply_count = static_cast<std::uint32_t>(count);
    if (whole != KELVARO_OK) return whole;
  }
  link.reply_count = static_cast<std::uint32_t>(count);

  if (count == 0) return KELVARO_TIMEOUT;
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(link.reply, count) != 0) return KELVARO_BAD_CHECKSUM;

  link.ReplyValue = DecodeReplyValue(link.reply, count);
  const std::uint8_t function = link.reply[1];
  if (function == kNameReply && count > kMinFrameBytes) CaptureName(link, link.reply, count);
  if (function != expected_function) {
    unsure = false;  // not taken either way
    return KELVARO_WRONG_REPLY_CODE;
  }
  return KELVARO_OK;
}

namespace {

// A request and its reply; false when the request did not go out. When the one frame that
// came may be a late reply, with this request unanswered, the request is sent once more:
// every request of the handle interface (absolute moves, switch values, queries) may be
// repeated, and with the late reply off the line, the repeat's reply, or the second of two
// frames, is this request's.
bool Converse(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count, int& code) {
  code = SendRequest(link, function, value, data_count);
  if (code != KELVARO_OK) return false;
  bool unsure = false;
  code = ReadReply(link, function, unsure);
  if (!unsure) return true;
  code = SendRequest(link, function, value, data_count);
  if (code == KELVARO_OK) code = ReadReply(link, function, unsure);
  return true;
}

}  // namespace

int Exchange(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  int code = KELVARO_OK;
  Converse(link, function, value, data_count, code);
  return code;
}

bool Query(LinkState& link, std::uint8_t function, int& code) { return Converse(link, function, 0, 0, code); }

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
