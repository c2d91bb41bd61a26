// The lens's name, focal-length range, minimum object distance and maximum aperture.
#include <cstdint>
#include <cstring>
#include <string>

#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

using lenssim::EncodeScaled;
using lenssim::MakeFrame;

using IdentityCommands = LensTest;

const Bytes kNameQuery{0x00, 0x11, 0xEF};
const Bytes kNameRestQuery{0x00, 0x12, 0xEE};

template <typename Call>
std::string TextOf(Call call, int expected_code) {
  char text[160];
  std::memset(text, '#', sizeof text);
  text[sizeof text - 1] = '\0';
  EXPECT_EQ(call(text), expected_code);
  return text;
}

TEST_F(IdentityCommands, OpticsTextsOfTheLens) {
  EXPECT_EQ(TextOf(GetLensMOD, KELVARO_OK), "MOD:  0.9 meters");
  EXPECT_EQ(TextOf(GetLensOpenFNo, KELVARO_OK), "Aperture: f/2.00");
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_OK), "Focal Length  10.0 to  200.0 mm");
  // The first focal length is asked first.
  const std::vector<Bytes> expected{
      {0x00, 0x16, 0xEA}, {0x00, 0x13, 0xED}, {0x00, 0x15, 0xEB}, {0x00, 0x14, 0xEC}};
  EXPECT_EQ(HostFrames(), expected);
}

TEST_F(IdentityCommands, ScaledNumbersSpanTheExponentRange) {
  lenssim::LensState state;
  const struct {
    int mantissa;
    int exponent;
    const char* text;
  } distances[] = {
      {5, -1, "MOD:  0.5 meters"},
      {4095, -1, "MOD:  409.5 meters"},
      {4095, 0, "MOD:  4095.0 meters"},
      {1, 7, "MOD:  10000000.0 meters"},
      {4095, 7, "MOD:  40950001664.0 meters"},  // the nearest single-precision value
  };
  for (const auto& d : distances) {
    state.mod = EncodeScaled(d.mantissa, d.exponent);
    lens.SetState(state);
    EXPECT_EQ(TextOf(GetLensMOD, KELVARO_OK), d.text) << d.mantissa << "E" << d.exponent;
  }

  // Millimetres: -7 still shows, -8 (top nibble 8) is below the one decimal shown.
  state.focal_wide = EncodeScaled(4095, -8);
  state.focal_tele = EncodeScaled(4095, -7);
  lens.SetState(state);
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_OK), "Focal Length  0.0 to  0.4 mm");
  state.focal_wide = EncodeScaled(1, -3);
  state.focal_tele = EncodeScaled(4095, 7);
  lens.SetState(state);
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_OK),
            "Focal Length  1.0 to  40950001664000.0 mm");
}

TEST_F(IdentityCommands, ApertureFromTheCode) {
  lenssim::LensState state;
  const struct {
    std::uint16_t code;
    const char* text;
  } apertures[] = {
      {0x0000, "Aperture: f/256.00"},
      {0xC000, "Aperture: f/4.00"},
      {0xE000, "Aperture: f/2.00"},
      {0xE800, "Aperture: f/1.68"},
      {0xFFFF, "Aperture: f/1.00"},
  };
  for (const auto& a : apertures) {
    state.aperture = a.code;
    lens.SetState(state);
    EXPECT_EQ(TextOf(GetLensOpenFNo, KELVARO_OK), a.text) << std::hex << a.code;
  }
}

TEST_F(IdentityCommands, AFailedReplyFormatsTheLastGoodValue) {
  ASSERT_EQ(TextOf(GetLensMOD, KELVARO_OK), "MOD:  0.9 meters");
  lenssim::LensState state;
  state.mod = EncodeScaled(25, -1);
  lens.SetState(state);
  lens.SetFault(0x16, Fault::BadChecksum(1));
  EXPECT_EQ(TextOf(GetLensMOD, KELVARO_BAD_CHECKSUM), "MOD:  0.9 meters");
  // A reply without data is good and carries 0.
  lens.SetFault(0x16, Fault::Raw(MakeFrame(0x16, {}), 1));
  EXPECT_EQ(TextOf(GetLensMOD, KELVARO_OK), "MOD:  0.0 meters");
  EXPECT_EQ(TextOf(GetLensMOD, KELVARO_OK), "MOD:  2.5 meters");
}

TEST_F(IdentityCommands, FocalLengthRangeReturnsTheFirstFailingExchange) {
  ASSERT_EQ(TextOf(GetLensMOD, KELVARO_OK), "MOD:  0.9 meters");
  lens.ClearReceived();

  // 0x15 fails, 0x14 succeeds: the failure, and a text whose first value is stale.
  lens.SetFault(0x15, Fault::BadChecksum(1));
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_BAD_CHECKSUM),
            "Focal Length  900.0 to  200.0 mm");
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{{0x00, 0x15, 0xEB}, {0x00, 0x14, 0xEC}}));

  // Only 0x14 fails: its code; the second value is what 0x15 left.
  lens.SetFault(0x14, Fault::Short(2, 1));
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_REPLY_TOO_SHORT),
            "Focal Length  10.0 to  10.0 mm");

  // Both fail: the first one's code.
  lens.SetFault(0x15, Fault::WrongCode(0x16, 1));
  lens.SetFault(0x14, Fault::BadChecksum(1));
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_WRONG_REPLY_CODE),
            "Focal Length  10.0 to  10.0 mm");
}

TEST_F(IdentityCommands, LongNameIsCompletedFromTheSecondPart) {
  // The lens gives its first 15 characters, then the rest.
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), "Simulated Zoom Lens 10-200");
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{kNameQuery, kNameRestQuery}));

  // A second part that fails is not appended, and its code comes back.
  lens.ClearReceived();
  lens.SetFault(0x12, Fault::WrongCode(0x13, 1));
  EXPECT_EQ(TextOf(GetLensName, KELVARO_WRONG_REPLY_CODE), "Simulated Zoom ");
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{kNameQuery, kNameRestQuery}));
}

TEST_F(IdentityCommands, FourteenCharactersCostOneExchangeAndFifteenTwo) {
  lenssim::LensState state;
  state.name = "Fourteen chars";
  lens.SetState(state);
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), "Fourteen chars");
  EXPECT_EQ(HostFrames(), std::vector<Bytes>{kNameQuery});

  state.name = "Fifteen chars!!";  // the second part is empty: a reply of 3 bytes
  lens.SetState(state);
  lens.ClearReceived();
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), "Fifteen chars!!");
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{kNameQuery, kNameRestQuery}));
}

TEST_F(IdentityCommands, NameStaysWithin146Characters) {
  lenssim::LensState state;
  state.name = std::string(140, 'a') + "0123456789";
  state.name_part = 140;
  lens.SetState(state);
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), std::string(140, 'a') + "012345");

  // A first part that fills a whole read (149 bytes) leaves no room for the second.
  state.name = std::string(146, 'b') + "XYZ";
  state.name_part = 146;
  lens.SetState(state);
  lens.ClearReceived();
  char name[160];
  std::memset(name, '#', sizeof name);
  name[sizeof name - 1] = '\0';
  EXPECT_EQ(GetLensName(name), KELVARO_OK);
  EXPECT_EQ(std::string(name), std::string(146, 'b'));
  EXPECT_EQ(name[147], '#');  // nothing beyond the 147 bytes the name may use
  EXPECT_EQ(HostFrames(), (std::vector<Bytes>{kNameQuery, kNameRestQuery}));
}

TEST_F(IdentityCommands, NameFailureIsReturnedWithoutAskingForTheRest) {
  ASSERT_EQ(TextOf(GetLensName, KELVARO_OK), "Simulated Zoom Lens 10-200");
  lens.ClearReceived();

  // The kept first part is copied, and the 0x11 failure is what comes back.
  lens.SetFault(0x11, Fault::BadChecksum(1));
  EXPECT_EQ(TextOf(GetLensName, KELVARO_BAD_CHECKSUM), "Simulated Zoom ");
  EXPECT_EQ(HostFrames(), std::vector<Bytes>{kNameQuery});
}

TEST_F(IdentityCommands, NameReplyWithoutTextGivesTheKeptName) {
  // None kept yet: the empty name, and 15 characters were not reached.
  lens.SetFault(0x11, Fault::Raw(MakeFrame(0x11, {}), 1));
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), "");
  EXPECT_EQ(HostFrames(), std::vector<Bytes>{kNameQuery});

  ASSERT_EQ(TextOf(GetLensName, KELVARO_OK), "Simulated Zoom Lens 10-200");
  // The kept first part has 15 characters, so the rest is asked for again.
  lens.SetFault(0x11, Fault::Raw(MakeFrame(0x11, {}), 1));
  EXPECT_EQ(TextOf(GetLensName, KELVARO_OK), "Simulated Zoom Lens 10-200");
}

TEST_F(IdentityCommands, NullTextsAreNotWritten) {
  EXPECT_EQ(GetLensName(nullptr), KELVARO_OK);
  EXPECT_EQ(GetLensMOD(nullptr), KELVARO_OK);
  EXPECT_EQ(GetLensOpenFNo(nullptr), KELVARO_OK);
  EXPECT_EQ(GetLensFocalLengthRange(nullptr), KELVARO_OK);
  // Each call otherwise made its usual exchanges, the name's second part included.
  EXPECT_EQ(HostFrames().size(), 6u);

  lens.SetFault(0x16, Fault::BadChecksum(1));
  EXPECT_EQ(GetLensMOD(nullptr), KELVARO_BAD_CHECKSUM);
}

TEST_F(IdentityCommands, WithNoPortOpenNothingIsWritten) {
  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  lens.ClearReceived();
  const std::string untouched(159, '#');
  EXPECT_EQ(TextOf(GetLensName, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(TextOf(GetLensMOD, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(TextOf(GetLensOpenFNo, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(TextOf(GetLensFocalLengthRange, KELVARO_PORT_NOT_OPEN), untouched);
  EXPECT_EQ(GetLensName(nullptr), KELVARO_PORT_NOT_OPEN);
  EXPECT_TRUE(HostFrames().empty());
}

}  // namespace
}  // namespace kelvaro_test
