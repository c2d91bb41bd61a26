// The lens commands through the DLL: the exact bytes of moves and switch settings, positions,
// switch labels, the name and optics texts (formatted by the Windows C runtime), and out
// values and texts that must not be written.
#include <cstring>

#include "wine_host.h"

namespace kelvaro_wine {
namespace {

using Commands = LensTest;

TEST_F(Commands, MovesCarryTheLowTwelveBitsInTheTopOfTheWireValue) {
  EXPECT_EQ(dll.SetLensZoom(2048), KELVARO_OK);
  EXPECT_EQ(dll.SetLensFocus(4096), KELVARO_OK);  // bit 12 falls off: the bytes of 0
  EXPECT_EQ(dll.SetLensIris(0xFABC), KELVARO_OK);  // only 0xABC counts
  const std::vector<Bytes> moves{
      {0x02, 0x21, 0x80, 0x00, 0x5D}, {0x02, 0x22, 0x00, 0x00, 0xDC}, Frame(0x20, {0xAB, 0xC0})};
  EXPECT_EQ(lens.Frames(), moves);

  unsigned short iris = 0;
  unsigned short zoom = 0;
  unsigned short focus = 1;
  EXPECT_EQ(dll.GetLensIris(&iris), KELVARO_OK);
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(dll.GetLensFocus(&focus), KELVARO_OK);
  EXPECT_EQ(iris, 0xABC);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(focus, 0);
  lens.ClearFrames();
  EXPECT_EQ(dll.GetLensFocus(nullptr), KELVARO_OK);  // still asked
  EXPECT_EQ(lens.Frames(), (std::vector<Bytes>{{0x00, 0x32, 0xCE}}));
}

TEST_F(Commands, AFailedReplyReportsTheLastGoodValueWhicheverCommandItAnswered) {
  unsigned short position = 99;
  FaultOnce(0x30, "badsum");  // nothing good yet in this process: 0
  EXPECT_EQ(dll.GetLensIris(&position), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(position, 0);
  lens.Do("state focus 1110");
  ASSERT_EQ(dll.GetLensFocus(&position), KELVARO_OK);
  position = 99;
  FaultOnce(0x30, "short 2");
  EXPECT_EQ(dll.GetLensIris(&position), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(position, 1110);
  FaultOnce(0x21, "wrong 20");
  EXPECT_EQ(dll.SetLensZoom(1), KELVARO_WRONG_REPLY_CODE);
}

TEST_F(Commands, SwitchSettersAndConveniencesSendTheirBytes) {
  EXPECT_EQ(dll.SetSwitch0Host(0x0C), KELVARO_OK);
  EXPECT_EQ(dll.SetSwitch2Host(0xCF), KELVARO_OK);
  EXPECT_EQ(dll.SetSwitch3Host(0x00), KELVARO_OK);
  EXPECT_EQ(dll.SetSwitch4Host(0xF8), KELVARO_OK);
  EXPECT_EQ(dll.Set2XMag(1), KELVARO_OK);
  EXPECT_EQ(dll.Set2XMag(0), KELVARO_OK);
  EXPECT_EQ(dll.Set2XMag(0x100), KELVARO_OK);  // any non-zero flag, not just its low byte
  EXPECT_EQ(dll.SetAutoIris(1), KELVARO_OK);
  EXPECT_EQ(dll.SetAutoIris(0), KELVARO_OK);
  const Bytes mag_in{0x01, 0x43, 0xFE, 0xBE};
  const Bytes auto_iris{0x01, 0x42, 0xCF, 0xEE};
  const Bytes host_mode0{0x01, 0x44, 0xF8, 0xC3};
  const std::vector<Bytes> expected{
      Frame(0x40, {0x0C}), auto_iris, Frame(0x43, {0x00}), host_mode0, mag_in, {0x01, 0x43, 0xFF, 0xBD},
      mag_in, auto_iris, {0x01, 0x44, 0xFC, 0xBF}, host_mode0};
  EXPECT_EQ(lens.Frames(), expected);

  // SetAutoIris returns the first failure of its two requests, and still sends the second.
  lens.ClearFrames();
  FaultOnce(0x42, "badsum");
  EXPECT_EQ(dll.SetAutoIris(1), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(lens.Frames().size(), 2u);
}

TEST_F(Commands, SwitchGettersLabelTheByteAndShowItInBrackets) {
  using Getter = int(__stdcall*)(char*, unsigned short*);
  const struct {
    int number;
    const char* byte;
    Getter get;
    const char* text;
    unsigned short value;
  } cases[] = {
      {0, "0c", dll.GetSwitch0Host, "950nm  [c]", 12},      {0, "0f", dll.GetSwitch0Host, "None   [f]", 15},
      {0, "fb", dll.GetSwitch0Host, "LensCode [fb]", 11},   {2, "df", dll.GetSwitch2Host, "Remote Iris [df]", 1},
      {2, "cf", dll.GetSwitch2Host, "Auto Iris [cf]", 0},   {3, "fe", dll.GetSwitch3Host, "Mag x2 [fe]", 14},
      {3, "21", dll.GetSwitch3Host, "Mag x1 [21]", 1},      {4, "07", dll.GetSwitch4Host, "Mode 7 Local/Auto [7]", 7},
      {4, "fc", dll.GetSwitch4Host, "Mode 4 Host [fc]", 4},
  };
  for (const auto& c : cases) {
    lens.Do("state switch " + std::to_string(c.number) + " " + c.byte);
    char text[32] = "untouched";
    unsigned short value = 0xBEEF;
    EXPECT_EQ(c.get(text, &value), KELVARO_OK) << c.number << " " << c.byte;
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(value, c.value) << c.text;
  }
  // A failed reply: value and label from the last good reply (fc), the bracket from this read.
  lens.Do("state switch 4 07");
  FaultOnce(0x54, "badsum");
  char text[32] = "";
  unsigned short value = 0;
  EXPECT_EQ(dll.GetSwitch4Host(text, &value), KELVARO_BAD_CHECKSUM);
  EXPECT_STREQ(text, "Mode 4 Host [7]");
  FaultOnce(0x54, "silent");
  EXPECT_EQ(dll.GetSwitch4Host(text, &value), KELVARO_TIMEOUT);
  EXPECT_STREQ(text, "Mode 4 Host [0]");
  EXPECT_EQ(value, 4);

  unsigned short on = 7;
  lens.Do("state switch 3 fe");
  EXPECT_EQ(dll.Get2XMag(&on), KELVARO_OK);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(dll.GetSwitch2Host(nullptr, nullptr), KELVARO_OK);
  EXPECT_EQ(dll.Get2XMag(nullptr), KELVARO_OK);
}

template <typename Call>
std::string TextOf(Call call, int expected_code) {
  char text[160];
  std::memset(text, '#', sizeof text);
  text[sizeof text - 1] = '\0';
  EXPECT_EQ(call(text), expected_code);
  return text;
}

TEST_F(Commands, NameAndOpticsTexts) {
  EXPECT_EQ(TextOf(dll.GetLensName, KELVARO_OK), "Simulated Zoom Lens 10-200");
  EXPECT_EQ(TextOf(dll.GetLensMOD, KELVARO_OK), "MOD:  0.9 meters");
  EXPECT_EQ(TextOf(dll.GetLensOpenFNo, KELVARO_OK), "Aperture: f/2.00");
  EXPECT_EQ(TextOf(dll.GetLensFocalLengthRange, KELVARO_OK), "Focal Length  10.0 to  200.0 mm");
  const std::vector<Bytes> asked{{0x00, 0x11, 0xEF}, {0x00, 0x12, 0xEE}, {0x00, 0x16, 0xEA},
                                 {0x00, 0x13, 0xED}, {0x00, 0x15, 0xEB}, {0x00, 0x14, 0xEC}};
  EXPECT_EQ(lens.Frames(), asked);

  // The C runtime's formatting at the ends of the scaled numbers' range.
  AnswerOnce(0x16, Frame(0x16, {0x7F, 0xFF}));  // 4095E7
  EXPECT_EQ(TextOf(dll.GetLensMOD, KELVARO_OK), "MOD:  40950001664.0 meters");
  AnswerOnce(0x15, Frame(0x15, {0x8F, 0xFF}));  // 4095E-8
  AnswerOnce(0x14, Frame(0x14, {0x9F, 0xFF}));  // 4095E-7
  EXPECT_EQ(TextOf(dll.GetLensFocalLengthRange, KELVARO_OK), "Focal Length  0.0 to  0.4 mm");
  for (const auto& [code, text] : {std::pair<Bytes, const char*>{{0x00, 0x00}, "Aperture: f/256.00"},
                                   {{0xE8, 0x00}, "Aperture: f/1.68"}}) {
    AnswerOnce(0x13, Frame(0x13, code));
    EXPECT_EQ(TextOf(dll.GetLensOpenFNo, KELVARO_OK), text);
  }
  // A failed reply formats the last good value: here the aperture code E8 00, 2048E-2.
  FaultOnce(0x16, "badsum");
  EXPECT_EQ(TextOf(dll.GetLensMOD, KELVARO_BAD_CHECKSUM), "MOD:  20.5 meters");
}

TEST_F(Commands, NameOf14CharactersCostsOneExchangeAndAFailedSecondPartIsNotAppended) {
  lens.Do("state name Fourteen chars");
  EXPECT_EQ(TextOf(dll.GetLensName, KELVARO_OK), "Fourteen chars");
  EXPECT_EQ(lens.Frames().size(), 1u);
  lens.Do("state name Simulated Zoom Lens 10-200");
  FaultOnce(0x12, "wrong 13");
  EXPECT_EQ(TextOf(dll.GetLensName, KELVARO_WRONG_REPLY_CODE), "Simulated Zoom ");
}

TEST_F(Commands, NullTextsAndClosedPortsWriteNothing) {
  lens.Do("clearframes");
  EXPECT_EQ(dll.GetLensName(nullptr), KELVARO_OK);
  EXPECT_EQ(dll.GetLensMOD(nullptr), KELVARO_OK);
  EXPECT_EQ(dll.GetLensOpenFNo(nullptr), KELVARO_OK);
  EXPECT_EQ(dll.GetLensFocalLengthRange(nullptr), KELVARO_OK);
  EXPECT_EQ(dll.GetSwitch4Host(nullptr, nullptr), KELVARO_OK);
  EXPECT_EQ(lens.Frames().size(), 7u);  // every exchange went out, the name's second part too

  ASSERT_EQ(dll.CloseComPort(), KELVARO_OK);
  lens.ClearFrames();
  const std::string untouched(159, '#');
  EXPECT_EQ(TextOf(dll.GetLensName, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(TextOf(dll.GetLensMOD, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(TextOf(dll.GetLensFocalLengthRange, KELVARO_PORT_NOT_OPEN), untouched);
  char text[32] = "untouched";
  unsigned short value = 0xBEEF;
  EXPECT_EQ(dll.GetSwitch3Host(text, &value), KELVARO_PORT_NOT_OPEN);
  EXPECT_STREQ(text, "???");
  EXPECT_EQ(dll.GetSwitch0Host(text, &value), KELVARO_PORT_NOT_OPEN);
  EXPECT_STREQ(text, "LensCode");
  EXPECT_EQ(dll.Get2XMag(&value), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(dll.GetLensIris(&value), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(value, 0xBEEF);
  EXPECT_EQ(dll.SetLensZoom(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(dll.SetAutoIris(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_TRUE(lens.Frames().empty());
}

}  // namespace
}  // namespace kelvaro_wine
