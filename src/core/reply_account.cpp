#include "core/reply_account.h"

#include <algorithm>

#include "Kelvaro32.h"
#include "core/frame.h"
#include "platform/serial.h"

namespace kelvaro {

void ReplyAccount::Expire(TimePoint now) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (now < debts_[i].until) debts_[kept++] = debts_[i];
  }
  count_ = kept;
}

void ReplyAccount::Add(Debt debt) {
  if (count_ == kCapacity) {
    for (std::size_t i = 1; i < count_; ++i) debts_[i - 1] = debts_[i];
    --count_;
  }
  debts_[count_++] = debt;
}

void ReplyAccount::Owe(std::uint8_t function, TimePoint until) { Add(Debt{function, until, false}); }

bool ReplyAccount::Pay(std::uint8_t function) {
  for (std::size_t i = 0; i < count_; ++i) {
    if (debts_[i].function != function) continue;
    const std::size_t paid = i + 1;
    for (std::size_t j = paid; j < count_; ++j) debts_[j - paid] = debts_[j];
    count_ -= paid;
    return true;
  }
  return false;
}

void ReplyAccount::Doubt(std::uint8_t function, TimePoint now) {
  TimePoint until = now + std::chrono::milliseconds(platform::kReadTotalMs);
  for (std::size_t i = 0; i < count_; ++i) {
    if (debts_[i].function != function) continue;
    until = debts_[i].doubt ? debts_[i].until : std::max(until, debts_[i].until);
    break;
  }
  Pay(function);
  Add(Debt{function, until, true});
}

void ReplyAccount::Answered(std::uint8_t function, bool twin) {
  std::size_t kept = 0;
  for (std::size_t i = count_; twin && i-- > 0;) {
    if (debts_[i].function != function) continue;
    debts_[0] = debts_[i];
    kept = 1;
    break;
  }
  count_ = kept;
}

std::size_t ReplyAccount::CountOf(std::uint8_t function) const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < count_; ++i) count += debts_[i].function == function;
  return count;
}

namespace {

// The length a frame starting here says it has.
std::size_t FrameLength(const std::uint8_t* bytes) { return static_cast<std::size_t>(bytes[0]) + kMinFrameBytes; }

// The code of bytes that are not a sequence of whole frames, as for one reply: too short
// for what they say, or spoiled.
int BrokenCode(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return KELVARO_TIMEOUT;
  if (count < kMinFrameBytes) return KELVARO_REPLY_TOO_SHORT;
  if (ByteSum(bytes, count) != 0) return KELVARO_BAD_CHECKSUM;
  return count < FrameLength(bytes) ? KELVARO_REPLY_TOO_SHORT : KELVARO_BAD_CHECKSUM;
}

Verdict Failed(int code, std::size_t late_frames) {
  Verdict verdict;
  verdict.kind = Verdict::kFailed;
  verdict.code = code;
  verdict.late_frames = late_frames;
  return verdict;
}

}  // namespace

Verdict Judge(const std::uint8_t* bytes, std::size_t count, std::uint8_t expected, const ReplyAccount& account,
              bool ended, bool twin_owed) {
  const Verdict waiting;
  ReplyAccount owed = account;
  std::size_t late_frames = 0;
  std::size_t at = 0;
  for (;;) {
    const std::size_t rest = count - at;
    // Not a whole frame here: more may come, or what came is broken.
    if (rest < kMinFrameBytes || rest < FrameLength(bytes + at) || !IsWholeFrame(bytes + at, FrameLength(bytes + at))) {
      return ended ? Failed(BrokenCode(bytes + at, rest), late_frames) : waiting;
    }
    const std::size_t length = FrameLength(bytes + at);
    const std::uint8_t function = bytes[at + 1];
    const bool last = at + length == count;
    if (last && function == expected) {
      // The last frame answers this request unless it may be a late reply of the same
      // function, with this request's answer still to come.
      // A repeat's frame is taken, though with an older reply of its function owed too it
      // waits for the quiet gap first: a second frame then settles which is which.
      const std::size_t same = owed.CountOf(expected);
      const bool unsure = same > 0 && !twin_owed;
      if (same > (twin_owed ? 1u : 0u) && !ended) return waiting;
      Verdict found;
      found.kind = unsure ? Verdict::kUnsure : Verdict::kTaken;
      found.offset = at;
      found.length = length;
      found.late_frames = late_frames;
      return found;
    }
    // Any other frame must be an owed reply, come late; else the line is out of step.
    if (!owed.Pay(function)) {
      if (!ended) return waiting;
      return Failed(last ? KELVARO_WRONG_REPLY_CODE : KELVARO_BAD_CHECKSUM, late_frames);
    }
    ++late_frames;
    at += length;
    if (at == count) return ended ? Failed(KELVARO_WRONG_REPLY_CODE, late_frames) : waiting;
  }
}

std::size_t SettleLateBytes(const std::uint8_t* bytes, std::size_t count, ReplyAccount& account) {
  std::size_t at = 0;
  while (at < count) {
    const std::size_t rest = count - at;
    const std::size_t length = FrameLength(bytes + at);
    if (rest >= kMinFrameBytes && rest >= length) {
      if (IsWholeFrame(bytes + at, length) && account.Pay(bytes[at + 1])) {
        at += length;
        continue;
      }
      return count;  // owed to no request
    }
    // The start of a frame of an owed function: kept while that reply may be coming in.
    const bool may_be_owed = rest >= 2 && length <= kMaxReplyBytes && account.Owes(bytes[at + 1]);
    return may_be_owed ? at : count;
  }
  return count;
}

}  // namespace kelvaro
