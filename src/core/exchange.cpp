#include "core/exchange.h"

#include <cstring>

#include "Kelvaro32.h"
#include "core/frame.h"
#include "core/link_state.h"
#include "core/reply_account.h"
#include "platform/deadline.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kHandshake = 0x01;
constexpr std::uint8_t kNameReply = 0x11;

// A line that keeps sending is not read for ever before a request.
constexpr int kMaxSettleRounds = 8;

void CaptureName(LinkState& link, const std::uint8_t* reply, std::size_t count) {
  // Everything between the function code and the checksum; a read holds at most 149 bytes,
  // so at most 146 characters, which LensNameText always has room for.
  std::size_t length = count - kMinFrameBytes;
  if (length > kNameCapacity - 1) length = kNameCapacity - 1;
  std::memcpy(link.LensNameText, reply + 2, length);
  link.LensNameText[length] = '\0';
}

// A reply that passed its checksum: its value, and its name text for a 0x11 reply.
void TakeValue(LinkState& link, std::size_t count) {
  link.ReplyValue = DecodeReplyValue(link.reply, count);
  if (link.reply[1] == kNameReply && count > kMinFrameBytes) CaptureName(link, link.reply, count);
}

// Before a request on an accounting link: what came since the last read pays the replies
// owed, and only the start of a frame that may be one of them is kept; the rest is owed to
// no request and dropped.
void SettleArrived(LinkState& link) {
  link.owed.Expire(platform::MonotonicClock::now());
  std::size_t count = link.pending_count;
  std::memcpy(link.reply, link.pending, count);
  for (int round = 0; round < kMaxSettleRounds; ++round) {
    const std::size_t got = platform::SerialReadPending(link.port, link.reply + count, kMaxReplyBytes - count);
    count += got;
    const std::size_t keep = SettleLateBytes(link.reply, count, link.owed);
    count -= keep;
    std::memmove(link.reply, link.reply + keep, count);
    if (got == 0) break;
  }
  std::memcpy(link.pending, link.reply, count);
  link.pending_count = count;
}

// What the bytes of a read are worth. Bytes kept from before it (the start of an owed reply)
// that did not turn into that reply are no part of this one: the bytes that came in this
// read are then judged on their own.
Verdict JudgeRead(const std::uint8_t* bytes, std::size_t before, std::size_t count, std::uint8_t expected,
                  const ReplyAccount& owed, bool ended, bool twin_owed, std::size_t& from) {
  from = 0;
  const Verdict whole = Judge(bytes, count, expected, owed, ended, twin_owed);
  const bool undone = whole.kind == Verdict::kWaiting || (whole.kind == Verdict::kFailed && whole.late_frames == 0);
  if (before == 0 || !undone) return whole;
  const Verdict fresh = Judge(bytes + before, count - before, expected, owed, ended, twin_owed);
  if (!ended && fresh.kind != Verdict::kTaken) return whole;
  from = before;
  return fresh;
}

// The read of an accounting link ends as soon as the bytes hold this request's reply.
struct Judging {
  const std::uint8_t* bytes;  // the reply buffer, from its start
  std::size_t before;         // bytes kept from before the read
  std::uint8_t expected;
  const ReplyAccount* owed;
  bool twin_owed;
};

bool ReplyIn(const void* context, const std::uint8_t*, std::size_t count) {
  const Judging& j = *static_cast<const Judging*>(context);
  std::size_t from = 0;
  return JudgeRead(j.bytes, j.before, j.before + count, j.expected, *j.owed, false, j.twin_owed, from).kind !=
         Verdict::kWaiting;
}

// After a failed read: the debt of this request, and the start of a frame that may be its
// reply still coming in, for the next request to settle. A spoiled frame of this request's
// length and function is an answer: with nothing owed it is this request's, and with a reply
// of this function owed it is that one or this one (a doubt).
void OweAfterFailure(LinkState& link, std::size_t at, std::size_t count, std::uint8_t expected, bool owed_before) {
  const std::uint8_t* rest = link.reply + at;
  const std::size_t left = count - at;
  const auto now = platform::MonotonicClock::now();
  const bool spoiled_answer = left >= kMinFrameBytes && rest[1] == expected &&
                              left == static_cast<std::size_t>(rest[0]) + kMinFrameBytes;
  if (spoiled_answer && !owed_before) return;
  if (spoiled_answer && link.owed.Owes(expected)) {
    link.owed.Doubt(expected, now);
    return;
  }
  link.owed.Owe(expected, now + kLateReplyWindow);
  const std::size_t keep = SettleLateBytes(rest, left, link.owed);
  link.pending_count = left - keep;
  std::memcpy(link.pending, rest + keep, link.pending_count);
}

// One read of an accounting link, judged against the replies owed. `unsure` is set when the
// one frame that came may be an owed reply of the same function (see Judge); `twin_owed` for
// the read of a request sent again.
int ReadAccountedReply(LinkState& link, std::uint8_t expected, bool twin_owed, bool& unsure) {
  unsure = false;
  std::memset(link.reply, 0, sizeof link.reply);
  const std::size_t before = link.pending_count;
  std::memcpy(link.reply, link.pending, before);
  link.pending_count = 0;
  const bool owed_before = link.owed.Count() > 0;
  const Judging judging{link.reply, before, expected, &link.owed, twin_owed};
  const platform::ReadComplete complete{ReplyIn, &judging};
  const std::size_t count =
      before + platform::SerialRead(link.port, link.reply + before, kMaxReplyBytes - before,
                                    link.policy.frame_ended ? &complete : nullptr);
  std::size_t at = 0;  // where the judged bytes start
  const Verdict verdict = JudgeRead(link.reply, before, count, expected, link.owed, true, twin_owed, at);
  const std::size_t from = at;
  for (std::size_t i = 0; i < verdict.late_frames; ++i) {
    link.owed.Pay(link.reply[at + 1]);
    at += static_cast<std::size_t>(link.reply[at]) + kMinFrameBytes;
  }
  if (verdict.kind == Verdict::kFailed) {
    OweAfterFailure(link, at, count, expected, owed_before);
    link.reply_count = static_cast<std::uint32_t>(count);
    return verdict.code;
  }
  std::memmove(link.reply, link.reply + from + verdict.offset, verdict.length);
  std::memset(link.reply + verdict.length, 0, sizeof link.reply - verdict.length);
  link.reply_count = static_cast<std::uint32_t>(verdict.length);
  if (verdict.kind == Verdict::kUnsure) {
    link.owed.Doubt(expected, platform::MonotonicClock::now());
    unsure = true;
    return KELVARO_OK;
  }
  link.owed.Answered(expected, twin_owed);
  TakeValue(link, verdict.length);
  return KELVARO_OK;
}

// The flat functions' read: whatever one read brings, at most 149 bytes, the rest left for
// the next read.
int ReadWhatComes(LinkState& link, std::uint8_t expected_function) {
  std::memset(link.reply, 0, sizeof link.reply);
  const std::size_t count = platform::SerialRead(link.port, link.reply, kMaxReplyBytes);
  link.reply_count = static_cast<std::uint32_t>(count);

  if (count == 0) return KELVARO_TIMEOUT;
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(link.reply, count) != 0) return KELVARO_BAD_CHECKSUM;

  TakeValue(link, count);
  return link.reply[1] == expected_function ? KELVARO_OK : KELVARO_WRONG_REPLY_CODE;
}

// A request and its reply; false when the request did not go out. On an accounting link, a
// request whose one frame cannot be told from an earlier request's late reply is sent once
// more: every request of the handle interface (absolute moves, switch values, queries) may
// be repeated, and a reply of either answers the same question. A repeat that does not go
// out is reported as such.
bool Converse(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count, int& code) {
  code = SendRequest(link, function, value, data_count);
  if (code != KELVARO_OK) return false;
  if (link.policy.keep_receive_queue) {
    code = ReadWhatComes(link, function);
    return true;
  }
  bool unsure = false;
  code = ReadAccountedReply(link, function, false, unsure);
  if (!unsure) return true;
  code = SendRequest(link, function, value, data_count);
  if (code != KELVARO_OK) return false;
  code = ReadAccountedReply(link, function, true, unsure);
  return true;
}

// Converse, counted in the link's statistics.
bool CountedConverse(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count,
                     int& code) {
  const auto began = platform::MonotonicClock::now();
  const bool sent = Converse(link, function, value, data_count, code);
  link.stats.Count(code, platform::MonotonicClock::now() - began);
  return sent;
}

}  // namespace

int SendRequest(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  if (link.port == platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  if (!link.policy.keep_receive_queue) SettleArrived(link);
  std::uint8_t frame[kMaxRequestBytes];
  const std::size_t length = BuildRequest(function, value, data_count, frame);
  return platform::SerialWrite(link.port, frame, length) ? KELVARO_OK : KELVARO_GENERAL_FAILURE;
}

int Exchange(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  int code = KELVARO_OK;
  CountedConverse(link, function, value, data_count, code);
  return code;
}

bool Query(LinkState& link, std::uint8_t function, int& code) {
  return CountedConverse(link, function, 0, 0, code);
}

int Handshake(LinkState& link) { return Exchange(link, kHandshake); }

int ConnectLens(LinkState& link) {
  if (!link.initialised) return KELVARO_NOT_INITIALIZED;
  return Handshake(link);
}

}  // namespace kelvaro
