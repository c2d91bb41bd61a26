#include "core/reply_account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Kelvaro32.h"
#include "core/frame.h"

namespace kelvaro {
namespace {

using Bytes = std::vector<std::uint8_t>;

const TimePoint kNow{};
const TimePoint kLater = kNow + kLateReplyWindow;

Bytes Frame(std::uint8_t function, const Bytes& data = {}) {
  Bytes frame(data.size() + kMinFrameBytes);
  frame[0] = static_cast<std::uint8_t>(data.size());
  frame[1] = function;
  std::copy(data.begin(), data.end(), frame.begin() + 2);
  frame.back() = FrameChecksum(frame.data(), frame.size() - 1);
  return frame;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ReplyAccount Owing(std::initializer_list<std::uint8_t> functions) {
  ReplyAccount account;
  for (std::uint8_t function : functions) account.Owe(function, kLater);
  return account;
}

TEST(ReplyAccount, ALateFramePaysItsDebtAndWritesOffTheEarlierOnes) {
  ReplyAccount account = Owing({0x30, 0x31, 0x32, 0x31});
  EXPECT_TRUE(account.Pay(0x31));  // 0x30 was never answered: the lens answers in order
  EXPECT_EQ(account.Count(), 2u);
  EXPECT_FALSE(account.Pay(0x30));
  EXPECT_EQ(account.Count(), 2u);  // a frame owed to no request pays nothing
  EXPECT_TRUE(account.Owes(0x32));
  account.Expire(kLater);
  EXPECT_EQ(account.Count(), 0u);

  for (int i = 0; i < 20; ++i) account.Owe(static_cast<std::uint8_t>(i), kLater);
  EXPECT_EQ(account.Count(), ReplyAccount::kCapacity);
  EXPECT_FALSE(account.Owes(0));  // the oldest are forgotten first
  EXPECT_TRUE(account.Owes(19));
}

TEST(ReplyAccount, ADoubtIsOwedLastAndOnlyTheFirstOfAChainStartsAWindow) {
  using std::chrono::milliseconds;
  const TimePoint t = kNow + milliseconds(700);  // the debts run out at kNow + 1 s
  ReplyAccount account = Owing({0x31, 0x30});
  account.Doubt(0x31, t);  // the zoom frame was the late one or this request's
  EXPECT_EQ(account.Count(), 2u);
  EXPECT_TRUE(account.Pay(0x30));  // the late iris reply comes before the zoom still owed
  EXPECT_TRUE(account.Owes(0x31));
  account.Expire(kLater);  // owed for at least a read's wait from the doubt
  EXPECT_TRUE(account.Owes(0x31));
  account.Doubt(0x31, t + milliseconds(400));
  account.Expire(t + milliseconds(500));  // a doubt on a doubt is not owed for longer
  EXPECT_FALSE(account.Owes(0x31));

  account = Owing({0x31});
  account.Doubt(0x31, kNow + milliseconds(100));  // soon after the failure: its deadline holds
  account.Expire(kLater - milliseconds(1));
  EXPECT_TRUE(account.Owes(0x31));
  account.Expire(kLater);
  EXPECT_FALSE(account.Owes(0x31));

  account = Owing({0x30, 0x31, 0x31});
  account.Answered(0x31, true);  // a request sent twice: its other reply may still come
  EXPECT_EQ(account.Count(), 1u);
  EXPECT_TRUE(account.Owes(0x31));
  account.Answered(0x32, false);  // the lens answers in order: nothing older will come
  EXPECT_EQ(account.Count(), 0u);
}

TEST(ReplyAccount, AReadIsJudgedAgainstTheRepliesOwed) {
  const Bytes zoom = Frame(0x31, {0x40, 0x00});
  const Bytes focus = Frame(0x32, {0x10, 0x00});
  const struct Case {
    const char* what;
    Bytes bytes;
    ReplyAccount owed;
    bool twin;
    Verdict::Kind before_end;  // while the read goes on
    Verdict::Kind at_end;
    int code;                  // of a failure
    std::size_t offset;        // of the frame taken
  } cases[] = {
      {"nothing owed, one frame", zoom, {}, false, Verdict::kTaken, Verdict::kTaken, 0, 0},
      {"nothing came", {}, {}, false, Verdict::kWaiting, Verdict::kFailed, KELVARO_TIMEOUT, 0},
      {"half a frame", Bytes(zoom.begin(), zoom.begin() + 3), {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_BAD_CHECKSUM, 0},
      {"two bytes", Bytes(zoom.begin(), zoom.begin() + 2), {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_REPLY_TOO_SHORT, 0},
      {"spoiled", Bytes{0x02, 0x31, 0x40, 0x01, 0x8D}, {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_BAD_CHECKSUM, 0},
      {"a short frame summing to 0", Bytes{0x02, 0x31, 0xCD}, {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_REPLY_TOO_SHORT, 0},
      {"another function, nothing owed", focus, {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_WRONG_REPLY_CODE, 0},
      {"two frames, nothing owed", zoom + zoom, {}, false, Verdict::kWaiting, Verdict::kFailed, KELVARO_BAD_CHECKSUM,
       0},
      {"junk after the reply", zoom + Bytes{0x55}, {}, false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_BAD_CHECKSUM, 0},
      // A late reply of another function comes first: dropped, and this one taken at once.
      {"late focus, then zoom", focus + zoom, Owing({0x32}), false, Verdict::kTaken, Verdict::kTaken, 0,
       focus.size()},
      {"late focus alone", focus, Owing({0x32}), false, Verdict::kWaiting, Verdict::kFailed,
       KELVARO_WRONG_REPLY_CODE, 0},
      // After a time-out on focus, a zoom request's one frame is its own: no repeat.
      {"zoom while focus is owed", zoom, Owing({0x32}), false, Verdict::kTaken, Verdict::kTaken, 0, 0},
      // The one frame may be the owed zoom reply, with this one still to come.
      {"zoom while zoom is owed", zoom, Owing({0x31}), false, Verdict::kWaiting, Verdict::kUnsure, 0, 0},
      {"two zooms while zoom is owed", zoom + zoom, Owing({0x31}), false, Verdict::kTaken, Verdict::kTaken, 0,
       zoom.size()},
      {"a repeat's one frame", zoom, Owing({0x31}), true, Verdict::kTaken, Verdict::kTaken, 0, 0},
      // An older zoom owed besides the repeat's twin: a second frame may yet say which is which.
      {"a repeat's one frame, an older zoom owed", zoom, Owing({0x31, 0x31}), true, Verdict::kWaiting,
       Verdict::kTaken, 0, 0},
      {"a repeat's two frames, an older zoom owed", zoom + zoom, Owing({0x31, 0x31}), true, Verdict::kTaken,
       Verdict::kTaken, 0, zoom.size()},
      {"late replies in order", focus + zoom + zoom, Owing({0x32, 0x30, 0x31}), false, Verdict::kTaken,
       Verdict::kTaken, 0, focus.size() + zoom.size()},
  };
  for (const Case& c : cases) {
    const Verdict before = Judge(c.bytes.data(), c.bytes.size(), 0x31, c.owed, false, c.twin);
    EXPECT_EQ(before.kind, c.before_end) << c.what;
    const Verdict at_end = Judge(c.bytes.data(), c.bytes.size(), 0x31, c.owed, true, c.twin);
    EXPECT_EQ(at_end.kind, c.at_end) << c.what;
    if (at_end.kind == Verdict::kFailed) {
      EXPECT_EQ(at_end.code, c.code) << c.what;
    }
    if (at_end.kind == Verdict::kTaken || at_end.kind == Verdict::kUnsure) {
      EXPECT_EQ(at_end.offset, c.offset) << c.what;
      EXPECT_EQ(at_end.length, zoom.size()) << c.what;
    }
  }
}

TEST(ReplyAccount, BeforeARequestOnlyTheStartOfAnOwedReplyIsKept) {
  const Bytes zoom = Frame(0x31, {0x40, 0x00});
  const Bytes focus = Frame(0x32, {0x10, 0x00});
  const Bytes start_of_zoom(zoom.begin(), zoom.begin() + 2);
  const struct Case {
    const char* what;
    Bytes bytes;
    ReplyAccount owed;
    std::size_t kept_from;
    std::size_t owed_after;
  } cases[] = {
      {"nothing owed: all dropped", zoom + start_of_zoom, {}, zoom.size() + 2, 0},
      {"late replies paid", focus + zoom, Owing({0x32, 0x31}), focus.size() + zoom.size(), 0},
      {"late reply paid, the next one coming in", focus + start_of_zoom, Owing({0x32, 0x31}), focus.size(), 1},
      {"a frame owed to no request drops the rest", zoom + focus, Owing({0x32}), zoom.size() + focus.size(), 1},
      {"the start of another function", start_of_zoom, Owing({0x32}), 2, 1},
      {"one byte: nothing says whose", Bytes{0x02}, Owing({0x32}), 1, 1},
  };
  for (const Case& c : cases) {
    ReplyAccount owed = c.owed;
    EXPECT_EQ(SettleLateBytes(c.bytes.data(), c.bytes.size(), owed), c.kept_from) << c.what;
    EXPECT_EQ(owed.Count(), c.owed_after) << c.what;
  }
}

}  // namespace
}  // namespace kelvaro
