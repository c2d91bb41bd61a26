// Switch setters, getters with their labels, and the magnifier and auto-iris conveniences.
#include <cstdint>
#include <ostream>
#include <string>

#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

using lenssim::MakeFrame;

using SwitchCommands = LensTest;
using Getter = int (*)(char*, unsigned short*);

// What one getter call left behind.
struct Reading {
  int code;
  std::string text;
  unsigned short value;
};

bool operator==(const Reading& a, const Reading& b) {
  return a.code == b.code && a.text == b.text && a.value == b.value;
}

std::ostream& operator<<(std::ostream& out, const Reading& r) {
  return out << "{code " << r.code << ", \"" << r.text << "\", value " << r.value << "}";
}

Reading Read(Getter get) {
  char text[32] = "untouched";
  unsigned short value = 0xBEEF;
  const int code = get(text, &value);
  return {code, text, value};
}

Getter GetterFor(int switch_number) {
  switch (switch_number) {
    case 0: return GetSwitch0Host;
    case 2: return GetSwitch2Host;
    case 3: return GetSwitch3Host;
    default: return GetSwitch4Host;
  }
}

TEST_F(SwitchCommands, SettersSendTheRawByte) {
  EXPECT_EQ(SetSwitch0Host(0x0C), KELVARO_OK);
  EXPECT_EQ(SetSwitch2Host(0xCF), KELVARO_OK);
  EXPECT_EQ(SetSwitch3Host(0x00), KELVARO_OK);
  EXPECT_EQ(SetSwitch4Host(0xF8), KELVARO_OK);
  const std::vector<Bytes> expected{MakeFrame(0x40, {0x0C}), {0x01, 0x42, 0xCF, 0xEE},
                                    MakeFrame(0x43, {0x00}), {0x01, 0x44, 0xF8, 0xC3}};
  EXPECT_EQ(HostFrames(), expected);
}

TEST_F(SwitchCommands, ConveniencesSendTheirFixedBytes) {
  const Bytes mag_in{0x01, 0x43, 0xFE, 0xBE};
  const Bytes mag_out{0x01, 0x43, 0xFF, 0xBD};
  const Bytes auto_iris{0x01, 0x42, 0xCF, 0xEE};
  const Bytes host_mode4{0x01, 0x44, 0xFC, 0xBF};
  const Bytes host_mode0{0x01, 0x44, 0xF8, 0xC3};

  EXPECT_EQ(Set2XMag(1), KELVARO_OK);
  EXPECT_EQ(Set2XMag(0), KELVARO_OK);
  EXPECT_EQ(Set2XMag(0x100), KELVARO_OK);  // any non-zero flag, not just its low byte
  EXPECT_EQ(SetAutoIris(1), KELVARO_OK);
  EXPECT_EQ(SetAutoIris(0), KELVARO_OK);
  EXPECT_EQ(SetAutoIris(0x100), KELVARO_OK);
  const std::vector<Bytes> expected{mag_in,    mag_out,    mag_in,    auto_iris,
                                    host_mode4, host_mode0, auto_iris, host_mode4};
  EXPECT_EQ(HostFrames(), expected);
}

TEST_F(SwitchCommands, GettersLabelTheSwitchByte) {
  struct Case {
    int switch_number;
    std::uint8_t byte;
    Reading expected;
  };
  const Case cases[] = {
      {0, 0x0C, {0, "950nm  [c]", 12}},
      {0, 0x0D, {0, "880nm  [d]", 13}},
      {0, 0x0E, {0, "850nm  [e]", 14}},
      {0, 0x0F, {0, "None   [f]", 15}},
      {0, 0x03, {0, "LensCode [3]", 3}},
      {0, 0xFB, {0, "LensCode [fb]", 11}},
      {2, 0xDF, {0, "Remote Iris [df]", 1}},
      {2, 0xCF, {0, "Auto Iris [cf]", 0}},
      {3, 0xFE, {0, "Mag x2 [fe]", 14}},
      {3, 0xFF, {0, "Mag x1 [ff]", 15}},
      {3, 0x21, {0, "Mag x1 [21]", 1}},
      {4, 0x07, {0, "Mode 7 Local/Auto [7]", 7}},
      {4, 0xFF, {0, "Mode 7 Local/Auto [ff]", 7}},
      {4, 0xF8, {0, "Mode 0 Host [f8]", 0}},
      {4, 0xFC, {0, "Mode 4 Host [fc]", 4}},
  };
  for (const Case& c : cases) {
    lenssim::LensState state;
    state.switches[c.switch_number] = c.byte;
    lens.SetState(state);
    lens.ClearReceived();
    EXPECT_EQ(Read(GetterFor(c.switch_number)), c.expected)
        << "switch " << c.switch_number << " byte " << int{c.byte};
    const auto query = static_cast<std::uint8_t>(0x50 + c.switch_number);
    EXPECT_EQ(HostFrames(), std::vector<Bytes>{MakeFrame(query, {})});
  }
}

TEST_F(SwitchCommands, TwoDataBytesTakeTheValueFromTheSecondAndShowTheFirst) {
  lens.SetFault(0x54, Fault::Raw(MakeFrame(0x54, {0x12, 0x07}), 1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{0, "Mode 7 Local/Auto [12]", 7}));
  lens.SetFault(0x52, Fault::Raw(MakeFrame(0x52, {0xDF, 0x0F}), 1));
  EXPECT_EQ(Read(GetSwitch2Host), (Reading{0, "Auto Iris [df]", 0}));
}

TEST_F(SwitchCommands, AReplyWithoutDataShowsItsChecksumByte) {
  lens.SetFault(0x54, Fault::Raw(MakeFrame(0x54, {}), 1));  // 00 54 AC
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{0, "Mode 0 Host [ac]", 0}));
  lens.SetFault(0x50, Fault::Raw(MakeFrame(0x50, {}), 1));  // 00 50 B0
  EXPECT_EQ(Read(GetSwitch0Host), (Reading{0, "LensCode [b0]", 0}));
}

TEST_F(SwitchCommands, AFailedReplyLabelsTheLastGoodValueAndShowsWhatItsReadLeft) {
  lenssim::LensState state;
  state.zoom = 0x1235;  // low byte 0x35: mode 5 to a switch-4 reading
  state.switches[4] = 0xFC;
  lens.SetState(state);
  unsigned short zoom = 0;
  ASSERT_EQ(GetLensZoom(&zoom), KELVARO_OK);

  // Value and label from the zoom reply; the bracket from the bad reply's data byte.
  lens.SetFault(0x54, Fault::BadChecksum(1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_BAD_CHECKSUM, "Mode 5 Host [fc]", 5}));

  // Another function code still passed its checksum: all fresh.
  lens.SetFault(0x54, Fault::WrongCode(0x53, 1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_WRONG_REPLY_CODE, "Mode 4 Host [fc]", 4}));

  // Fewer than three bytes, or none: the bracket shows 0.
  state.switches[4] = 0x07;
  lens.SetState(state);
  lens.SetFault(0x54, Fault::Short(2, 1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_REPLY_TOO_SHORT, "Mode 4 Host [0]", 4}));
  lens.SetFault(0x54, Fault::Raw({0x5A}, 1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_REPLY_TOO_SHORT, "Mode 4 Host [0]", 4}));
  lens.SetFault(0x54, Fault::Silent(1));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_TIMEOUT, "Mode 4 Host [0]", 4}));
}

TEST_F(SwitchCommands, Get2XMagReadsBitZeroOfSwitch3) {
  lenssim::LensState state;
  unsigned short on = 7;
  const struct {
    std::uint8_t byte;
    unsigned short on;
  } cases[] = {{0xFE, 1}, {0xFF, 0}, {0x02, 1}, {0x01, 0}};
  for (const auto& c : cases) {
    state.switches[3] = c.byte;
    lens.SetState(state);
    on = 7;
    EXPECT_EQ(Get2XMag(&on), KELVARO_OK);
    EXPECT_EQ(on, c.on) << "switch 3 byte " << int{c.byte};
  }
  EXPECT_EQ(HostFrames().size(), 4u);

  // A failed reply still gives a flag, from the last good value (0x01: magnifier out).
  state.switches[3] = 0xFE;
  lens.SetState(state);
  lens.SetFault(0x53, Fault::BadChecksum(1));
  on = 7;
  EXPECT_EQ(Get2XMag(&on), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(on, 0);
}

TEST_F(SwitchCommands, Get2XMagWritesNothingWhenTheQueryCannotBeSent) {
  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  unsigned short on = 7;
  EXPECT_EQ(Get2XMag(&on), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(on, 7);
}

TEST_F(SwitchCommands, WithNoPortOpenGettersLeaveTheirFirstText) {
  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  lens.ClearReceived();
  EXPECT_EQ(Read(GetSwitch0Host), (Reading{KELVARO_PORT_NOT_OPEN, "LensCode", 0xBEEF}));
  EXPECT_EQ(Read(GetSwitch2Host), (Reading{KELVARO_PORT_NOT_OPEN, "???", 0xBEEF}));
  EXPECT_EQ(Read(GetSwitch3Host), (Reading{KELVARO_PORT_NOT_OPEN, "???", 0xBEEF}));
  EXPECT_EQ(Read(GetSwitch4Host), (Reading{KELVARO_PORT_NOT_OPEN, "???", 0xBEEF}));
  EXPECT_EQ(SetSwitch0Host(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetSwitch2Host(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetSwitch3Host(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetSwitch4Host(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(Set2XMag(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetAutoIris(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetAutoIris(0), KELVARO_PORT_NOT_OPEN);
  EXPECT_TRUE(HostFrames().empty());
}

TEST_F(SwitchCommands, SetAutoIrisReturnsTheFirstFailureOfItsTwoRequests) {
  const Bytes auto_iris{0x01, 0x42, 0xCF, 0xEE};
  const Bytes host_mode4{0x01, 0x44, 0xFC, 0xBF};

  // Switch 2 fails, switch 4 succeeds: the switch-2 failure, and switch 4 is still set.
  lens.SetFault(0x42, Fault::BadChecksum(1));
  EXPECT_EQ(SetAutoIris(1), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{auto_iris, host_mode4}));

  lens.SetFault(0x44, Fault::WrongCode(0x40, 1));
  EXPECT_EQ(SetAutoIris(1), KELVARO_WRONG_REPLY_CODE);

  lens.SetFault(0x42, Fault::Short(2, 1));
  lens.SetFault(0x44, Fault::BadChecksum(1));
  EXPECT_EQ(SetAutoIris(1), KELVARO_REPLY_TOO_SHORT);

  lens.SetFault(0x44, Fault::BadChecksum(1));
  EXPECT_EQ(SetAutoIris(0), KELVARO_BAD_CHECKSUM);
}

TEST_F(SwitchCommands, NullTextsAndValuesAreNotWritten) {
  for (int switch_number : {0, 2, 3, 4}) {
    EXPECT_EQ(GetterFor(switch_number)(nullptr, nullptr), KELVARO_OK) << "switch " << switch_number;
  }
  char text[32] = "untouched";
  unsigned short value = 0xBEEF;
  EXPECT_EQ(GetSwitch4Host(text, nullptr), KELVARO_OK);
  EXPECT_STREQ(text, "Mode 0 Host [f8]");
  EXPECT_EQ(GetSwitch2Host(nullptr, &value), KELVARO_OK);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(Get2XMag(nullptr), KELVARO_OK);
  EXPECT_EQ(HostFrames().size(), 7u);

  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  EXPECT_EQ(GetSwitch0Host(nullptr, nullptr), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(Get2XMag(nullptr), KELVARO_PORT_NOT_OPEN);
}

}  // namespace
}  // namespace kelvaro_test
