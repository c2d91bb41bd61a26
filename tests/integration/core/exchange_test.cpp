// The request/reply exchange as the lens sees it and as the host sees it: the handshake,
// how each length of reply decodes, which failures keep the last good value, the time-outs.
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

using lenssim::MakeFrame;

class ExchangeTest : public LensTest {
 protected:
  // Answers the next zoom query with exactly these bytes; returns the query's code and
  // leaves the position it reported in `zoom`.
  int ZoomAnsweredWith(const Bytes& reply) {
    lens.SetFault(0x31, Fault::Raw(reply, 1));
    return GetLensZoom(&zoom);
  }

  // The lens's name as the library keeps it: asked while the lens ignores 0x11.
  std::string KeptName() {
    lens.SetFault(0x11, Fault::Silent(1));
    char name[160] = "";
    GetLensName(name);
    return name;
  }

  unsigned short zoom = 0xFFFF;
};

TEST_F(ExchangeTest, HandshakeSendsZeroOneFfAndChecksTheReplyCode) {
  AnswerHandshake();
  lens.ClearReceived();
  EXPECT_EQ(Connect(), KELVARO_OK);
  EXPECT_EQ(Reset(), KELVARO_OK);
  EXPECT_EQ(lens.Received(), (std::vector<Bytes>{kHandshake, kHandshake}));

  lens.SetFault(0x01, Fault::WrongCode(0x31, 1));
  EXPECT_EQ(Connect(), KELVARO_WRONG_REPLY_CODE);
  lens.SetFault(0x01, Fault::BadChecksum(1));
  EXPECT_EQ(Reset(), KELVARO_BAD_CHECKSUM);
}

TEST_F(ExchangeTest, NoLensTimesOutAfterHalfASecond) {
  lens.SetFault(0x01, Fault::Silent());
  int code = -1;
  const long long elapsed = MillisecondsOf([&] { code = Connect(); });
  EXPECT_EQ(code, KELVARO_TIMEOUT);
  EXPECT_GE(elapsed, 450);   // the read waits its whole time-out
  EXPECT_LT(elapsed, 1500);  // and not much longer
}

TEST_F(ExchangeTest, ReplyValueComesFromTheBytesThatArrived) {
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31, 0x80, 0x00, 0x4D}), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x00, 0x31, 0xCF}), KELVARO_OK);  // 3 bytes: value 0
  EXPECT_EQ(zoom, 0);
  EXPECT_EQ(ZoomAnsweredWith(MakeFrame(0x31, {0xAB})), KELVARO_OK);  // 4 bytes: the data byte
  EXPECT_EQ(zoom, 0xAB >> 4);
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31, 0xFF, 0xF0, 0xDE}), KELVARO_OK);
  EXPECT_EQ(zoom, 4095);
  // A long reply: the first two data bytes, high first; the rest do not count.
  EXPECT_EQ(ZoomAnsweredWith(MakeFrame(0x31, {0x12, 0x34, 0x56, 0x78, 0x9A})), KELVARO_OK);
  EXPECT_EQ(zoom, 0x123);
  // The length byte is not compared with what arrived.
  Bytes lying{0x09, 0x31, 0x40, 0x00};
  lying.push_back(static_cast<std::uint8_t>(0x100 - ((0x09 + 0x31 + 0x40) & 0xFF)));
  EXPECT_EQ(ZoomAnsweredWith(lying), KELVARO_OK);
  EXPECT_EQ(zoom, 0x400);
}

TEST_F(ExchangeTest, AnotherFunctionCodeStillLeavesItsNumberAndName) {
  EXPECT_EQ(ZoomAnsweredWith(MakeFrame(0x11, {'A', 'B'})), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(zoom, 0x4142 >> 4);
  EXPECT_EQ(KeptName(), "AB");
}

TEST_F(ExchangeTest, BrokenRepliesKeepTheLastGoodValueAndName) {
  ASSERT_EQ(ZoomAnsweredWith({0x02, 0x31, 0x80, 0x00, 0x4D}), KELVARO_OK);

  Bytes bad_name = MakeFrame(0x11, {'X', 'Y', 'Z'});
  bad_name.back() ^= 0x01;
  EXPECT_EQ(ZoomAnsweredWith(bad_name), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x02}), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31}), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(zoom, 2048);
  lens.SetFault(0x31, Fault::Silent(1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_TIMEOUT);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(KeptName(), "");  // no good 0x11 reply ever came
}

TEST_F(ExchangeTest, AThreeByteNameReplyLeavesTheNameButZeroesTheValue) {
  lenssim::LensState state = lens.State();
  state.name = "Lens A";
  lens.SetState(state);
  char name[160] = "";
  ASSERT_EQ(GetLensName(name), KELVARO_OK);
  ASSERT_STREQ(name, "Lens A");

  lens.SetFault(0x11, Fault::Raw({0x00, 0x11, 0xEF}, 1));
  EXPECT_EQ(GetLensName(name), KELVARO_OK);
  EXPECT_STREQ(name, "Lens A");
  lens.SetFault(0x31, Fault::Silent(1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_TIMEOUT);
  EXPECT_EQ(zoom, 0);
}

TEST_F(ExchangeTest, AReplyEndsAHundredMillisecondsAfterItsLastByte) {
  // A short pause inside a reply is still one reply.
  lens.SetFault(0x31, Fault::Split(2, 40, 1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);

  // A long one ends the read with the first part, well before the half-second total.
  lens.SetFault(0x31, Fault::Split(3, 300, 1));
  int code = -1;
  const long long elapsed = MillisecondsOf([&] { code = GetLensZoom(&zoom); });
  EXPECT_EQ(code, KELVARO_BAD_CHECKSUM);  // 02 31 80 alone does not sum to zero
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 290);
}

TEST_F(ExchangeTest, ALateReplyStaysInTheLineForTheNextRead) {
  lenssim::LensState state = lens.State();
  state.zoom = 100 << 4;
  state.focus = 200 << 4;
  lens.SetState(state);
  lens.SetFault(0x31, Fault::Delay(560, 1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the zoom reply is in by now

  // The next read takes the stale zoom reply and the focus reply behind it as one reply:
  // two whole frames sum to zero, and the first one's code and number count.
  unsigned short focus = 0;
  EXPECT_EQ(GetLensFocus(&focus), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(focus, 100);
}

TEST_F(ExchangeTest, AnOverlongReplyIsCutAtOneHundredFortyNineBytes) {
  // 146 name characters fill the read exactly; the name keeps all of them.
  const std::string longest(146, 'n');
  lens.SetFault(0x11, Fault::Raw(MakeFrame(0x11, Bytes(longest.begin(), longest.end())), 1));
  lens.SetFault(0x12, Fault::Raw({0x00, 0x12, 0xEE}, 1));
  char name[160];
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(GetLensName(name), KELVARO_OK);
  EXPECT_EQ(std::string(name), longest);

  // 200 bytes: the first read gets 149, whose sum is not zero; the rest waits in the line.
  lens.SetFault(0x31, Fault::Raw(MakeFrame(0x11, Bytes(197, 'x')), 1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_BAD_CHECKSUM);
  // The next read gets the 51 bytes left over and its own reply: still no good frame.
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(KeptName(), longest);
}

TEST_F(ExchangeTest, AnyBytesFromTheLensGiveAKnownCode) {
  std::mt19937 random(20261208);
  const std::set<int> allowed{KELVARO_OK, KELVARO_TIMEOUT, KELVARO_WRONG_REPLY_CODE,
                              KELVARO_BAD_CHECKSUM, KELVARO_REPLY_TOO_SHORT};
  for (int round = 0; round < 25; ++round) {
    // At most one read's worth, so each round's bytes are its own reply.
    Bytes noise(1 + random() % 149);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    // Now and then a well-formed frame of any code, so good replies are mixed in.
    if (round % 4 == 0) noise = MakeFrame(static_cast<std::uint8_t>(random()), Bytes(random() % 147, 'q'));
    lens.SetFault(0x31, Fault::Raw(noise, 1));
    const int code = GetLensZoom(&zoom);
    EXPECT_EQ(allowed.count(code), 1u) << "round " << round << " code " << code;
  }
  EXPECT_LE(KeptName().size(), 146u);
}

}  // namespace
}  // namespace kelvaro_test
