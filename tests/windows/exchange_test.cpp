// The request/reply exchange through Wine's serial emulation: the handshake, how each length
// of reply decodes, which failures keep the last good value, the read time-outs; the result
// texts; and the calling convention hosts rely on.
#include <climits>
#include <cstring>

#include "wine_host.h"

namespace kelvaro_wine {
namespace {

class ExchangeTest : public LensTest {
 protected:
  // Answers the next zoom query with exactly these bytes; returns the query's code and
  // leaves the position it reported in `zoom`.
  int ZoomAnsweredWith(const Bytes& reply) {
    AnswerOnce(0x31, reply);
    return dll.GetLensZoom(&zoom);
  }

  // The name the DLL keeps, asked while the lens ignores 0x11.
  std::string KeptName() {
    FaultOnce(0x11, "silent");
    char name[160] = "";
    dll.GetLensName(name);
    return name;
  }

  unsigned short zoom = 0xFFFF;
};

TEST_F(ExchangeTest, HandshakeSendsZeroOneFfAndChecksTheReplyCode) {
  EXPECT_EQ(dll.Connect(), KELVARO_OK);
  EXPECT_EQ(dll.Reset(), KELVARO_OK);
  EXPECT_EQ(lens.Frames(), (std::vector<Bytes>{kHandshake, kHandshake}));
  FaultOnce(0x01, "wrong 31");
  EXPECT_EQ(dll.Connect(), KELVARO_WRONG_REPLY_CODE);
  FaultOnce(0x01, "badsum");
  EXPECT_EQ(dll.Reset(), KELVARO_BAD_CHECKSUM);
  FaultOnce(0x01, "short 2");
  EXPECT_EQ(dll.Connect(), KELVARO_REPLY_TOO_SHORT);
}

TEST_F(ExchangeTest, NoReplyTimesOutAfterHalfASecond) {
  lens.Do("line silent 1");
  int code = -1;
  const long long elapsed = MillisecondsOf([&] { code = dll.Connect(); });
  EXPECT_EQ(code, KELVARO_TIMEOUT);
  EXPECT_GE(elapsed, 450);   // the read waits its whole time-out
  EXPECT_LT(elapsed, 1500);  // and not much longer
}

TEST_F(ExchangeTest, ReplyValueComesFromTheBytesThatArrived) {
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31, 0x80, 0x00, 0x4D}), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x00, 0x31, 0xCF}), KELVARO_OK);  // 3 bytes: value 0
  EXPECT_EQ(zoom, 0);
  EXPECT_EQ(ZoomAnsweredWith(Frame(0x31, {0xAB})), KELVARO_OK);  // 4 bytes: the data byte
  EXPECT_EQ(zoom, 0xAB >> 4);
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31, 0xFF, 0xF0, 0xDE}), KELVARO_OK);
  EXPECT_EQ(zoom, 4095);
  // A long reply: the first two data bytes, high first.
  EXPECT_EQ(ZoomAnsweredWith(Frame(0x31, {0x12, 0x34, 0x56, 0x78, 0x9A})), KELVARO_OK);
  EXPECT_EQ(zoom, 0x123);
  // The length byte is not compared with what arrived.
  EXPECT_EQ(ZoomAnsweredWith({0x09, 0x31, 0x40, 0x00, 0x86}), KELVARO_OK);
  EXPECT_EQ(zoom, 0x400);
}

TEST_F(ExchangeTest, AnotherFunctionCodeStillLeavesItsNumberAndName) {
  EXPECT_EQ(ZoomAnsweredWith(Frame(0x11, {'A', 'B'})), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(zoom, 0x4142 >> 4);
  EXPECT_EQ(KeptName(), "AB");
}

TEST_F(ExchangeTest, BrokenRepliesKeepTheLastGoodValueAndName) {
  ASSERT_EQ(ZoomAnsweredWith({0x02, 0x31, 0x80, 0x00, 0x4D}), KELVARO_OK);
  Bytes bad_name = Frame(0x11, {'X', 'Y', 'Z'});
  bad_name.back() ^= 0x01;
  EXPECT_EQ(ZoomAnsweredWith(bad_name), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x02}), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(ZoomAnsweredWith({0x02, 0x31}), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(zoom, 2048);
  FaultOnce(0x31, "silent");
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_TIMEOUT);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(KeptName(), "");  // no good 0x11 reply ever came
}

TEST_F(ExchangeTest, AReplyEndsAHundredMillisecondsAfterItsLastByte) {
  FaultOnce(0x31, "split 2 40");  // a short pause inside a reply: still one reply
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);

  FaultOnce(0x31, "split 3 300");  // a long one ends the read with the first part
  int code = -1;
  const long long elapsed = MillisecondsOf([&] { code = dll.GetLensZoom(&zoom); });
  EXPECT_EQ(code, KELVARO_BAD_CHECKSUM);  // 02 31 80 alone does not sum to zero
  EXPECT_GE(elapsed, 90);                 // after waiting for more
}

TEST_F(ExchangeTest, ALateReplyStaysInTheLineForTheNextRead) {
  lens.Do("state zoom 100");
  lens.Do("state focus 200");
  FaultOnce(0x31, "delay 700");
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_TIMEOUT);
  Sleep(300);  // the zoom reply is in by now
  // The next read takes the stale zoom reply and the focus reply behind it as one reply:
  // two whole frames sum to zero, and the first one's code and number count.
  unsigned short focus = 0;
  EXPECT_EQ(dll.GetLensFocus(&focus), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(focus, 100);
}

TEST_F(ExchangeTest, AnOverlongReplyIsCutAtOneHundredFortyNineBytes) {
  const std::string longest(146, 'n');  // fills one read exactly
  AnswerOnce(0x11, Frame(0x11, Bytes(longest.begin(), longest.end())));
  AnswerOnce(0x12, {0x00, 0x12, 0xEE});
  char name[160];
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(dll.GetLensName(name), KELVARO_OK);
  EXPECT_EQ(std::string(name), longest);

  // 200 bytes: the first read gets 149, whose sum is not zero; the rest waits in the line
  // and spoils the next reply too.
  AnswerOnce(0x31, Frame(0x11, Bytes(197, 'x')));
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(KeptName(), longest);
}

TEST(ResultText, EveryCodeHasItsTextAppended) {
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  const std::pair<int, const char*> texts[] = {
      {0, " OK"},           {1, " General Failure"},  {3, " Library Not Initialized"},
      {4, " Timeout"},      {5, " Communications Error"}, {6, " Wrong Reply Code"},
      {7, " Unable To Open Port"}, {8, " Port Already Open"}, {10, " Port Not Open"},
      {12, " Bad Checksum"}, {13, " Reply Too Short"}, {14, " Could Not Connect To Lens"},
      {9, " Error code = 9"}, {-1, " Error code = -1"}, {INT_MIN, " Error code = -2147483648"},
  };
  for (const auto& [code, text] : texts) {
    char buffer[64] = "";
    dll.GetResultString(code, buffer);
    EXPECT_STREQ(buffer, text) << code;
    // kelvaro.h's texts: the same without the leading space, and no made-up ones.
    const bool known = std::strncmp(text, " Error code", 11) != 0;
    EXPECT_STREQ(dll.kelvaro_result_text(code), known ? text + 1 : "Unknown Result Code") << code;
  }
  EXPECT_STREQ(dll.kelvaro_result_text(KELVARO_INVALID_ARGUMENT), "Invalid Argument");
  EXPECT_STREQ(dll.kelvaro_result_text(KELVARO_NO_FREE_LENS), "No Free Lens");
  char text[64] = "Zoom:";
  dll.GetResultString(13, text);
  dll.GetResultString(0, text);
  EXPECT_STREQ(text, "Zoom: Reply Too Short OK");
  dll.GetResultString(0, nullptr);  // not written: no crash
}

// x86 only: x64 has a single calling convention, in which the caller always cleans up.
#if defined(_M_IX86) || defined(__i386__)
// Calls `function` with `count` arguments of 0 and returns how many bytes of arguments the
// caller still has to take off the stack: 0 when the callee removed them (__stdcall).
__attribute__((noinline)) int StackLeftOver(FARPROC function, int count) {
  int left = 0;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "movl %2, %%ecx\n\t"
      "1: testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl $0\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2: call *%1\n\t"
      "movl %%esi, %0\n\t"
      "subl %%esp, %0\n\t"
      "movl %%esi, %%esp\n\t"
      : "=&r"(left)
      : "r"(function), "r"(count)
      : "eax", "ecx", "edx", "esi", "memory", "cc");
  return left;
}

TEST(CallingConvention, EveryFunctionRemovesItsOwnArguments) {
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  // With no port open, or a NULL lens, each returns at once; the NULL arguments are never
  // written.
  const std::pair<const char*, int> functions[] = {
      {"IsAutoConnected", 0}, {"CloseComPort", 0}, {"SetLensZoom", 1},    {"GetLensZoom", 1},
      {"SetSwitch4Host", 1},  {"Set2XMag", 1},     {"GetSwitch2Host", 2}, {"GetResultString", 2},
      {"GetLensName", 1},     {"OpenComPort", 1},
      {"kelvaro_open", 3},       {"kelvaro_close", 1},        {"kelvaro_connect", 1},
      {"kelvaro_is_connected", 1}, {"kelvaro_move", 3},       {"kelvaro_position", 3},
      {"kelvaro_set_switch", 3}, {"kelvaro_switch", 3},       {"kelvaro_name", 3},
      {"kelvaro_read_optics", 2}, {"kelvaro_result_text", 1},
  };
  for (const auto& [name, count] : functions) {
    EXPECT_EQ(StackLeftOver(dll.Find(name), count), 0) << name;
  }
}
#endif

}  // namespace
}  // namespace kelvaro_wine
