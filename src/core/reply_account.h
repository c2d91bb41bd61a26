// The replies a link of the handle interface still owes, and what a read's bytes are worth
// against them. A lens answers its requests in order, one frame each, and may answer after
// the read waiting for it gave up; the protocol carries no sequence number. So each request
// whose read gave up still owes its reply for a while, and a frame is taken for a request
// only when it cannot be one of those late replies. Pure: no I/O, time passed in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/deadline.h"

namespace kelvaro {

using TimePoint = platform::MonotonicClock::time_point;

// How long a reply given up may still arrive, counted from the end of the read that gave
// up on it. A lens that answers later than this is not one this library can tell apart.
inline constexpr auto kLateReplyWindow = std::chrono::milliseconds(1000);

class ReplyAccount {
 public:
  static constexpr std::size_t kCapacity = 8;

  void Clear() { count_ = 0; }
  // Forgets the replies whose window has passed.
  void Expire(TimePoint now);
  // A request of `function` whose read gave up: its reply may come until `until`. When the
  // account is full the oldest debt is forgotten.
  void Owe(std::uint8_t function, TimePoint until);
  // A late frame of `function` has come: it pays the oldest debt of that function, and the
  // debts before it were never going to be paid (the lens answers in order). False when
  // no debt is of that function: the frame is owed to no request.
  bool Pay(std::uint8_t function);
  // A frame of `function` came that is the oldest owed reply of that function or the reply
  // to the request just sent, no one can tell which: either way the debts before that one
  // are written off, and one reply of `function` may still come, now owed last: until the
  // debt it stands on ran out, and at least as long as a read waits for a reply from `now`.
  // A doubt that stands on an earlier doubt keeps its deadline, so that a lens answering
  // each request once is not doubted for as long as it is asked.
  void Doubt(std::uint8_t function, TimePoint now);
  // A reply of `function` was taken for the request just sent: the lens has answered, or
  // never will, every request before it. Only a request sent twice (`twin`) may still have
  // its other reply to come: the newest debt of `function`, which stays.
  void Answered(std::uint8_t function, bool twin);
  bool Owes(std::uint8_t function) const { return CountOf(function) > 0; }
  std::size_t CountOf(std::uint8_t function) const;
  std::size_t Count() const { return count_; }

 private:
  struct Debt {
    std::uint8_t function;
    TimePoint until;
    bool doubt;  // owed after a frame that could not be told from it (Doubt)
  };
  void Add(Debt debt);
  Debt debts_[kCapacity] = {};
  std::size_t count_ = 0;
};

// What a read of a reply to `expected` has brought, judged against the account.
struct Verdict {
  enum Kind {
    kWaiting,  // not decided yet: more bytes may settle it (only before the read has ended)
    kTaken,    // the frame at [offset, offset + length) is this request's reply
    kUnsure,   // one frame of `expected` came, and it may be an owed reply of the same
               // function with this request's still to come
    kFailed,   // no reply: `code` is 4, 13, 12 or 6
  };
  Kind kind = kWaiting;
  int code = 0;
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t late_frames = 0;  // leading frames that pay owed replies
};

// Judges `count` bytes. `ended`: the read is over (by its time-outs), so a verdict is due.
// `twin_owed`: the newest owed reply of `expected` answers the same question as this request
// (a request sent again), so a frame of `expected` is taken.
Verdict Judge(const std::uint8_t* bytes, std::size_t count, std::uint8_t expected, const ReplyAccount& account,
              bool ended, bool twin_owed);

// Before a request: pays the debts of the whole late frames at the start of `bytes` (what
// has arrived since the last read) and keeps only an unfinished frame of an owed function
// (at least its length and function bytes): an owed reply still coming in. Everything else is owed to no request. Returns where the bytes to
// keep start; they run to the end.
std::size_t SettleLateBytes(const std::uint8_t* bytes, std::size_t count, ReplyAccount& account);

}  // namespace kelvaro
