// Iris, zoom and focus moves and queries against the simulated lens.
#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

using lenssim::MakeFrame;

using PositionCommands = LensTest;

TEST_F(PositionCommands, MovesCarryTheLowTwelveBitsInTheTopOfTheWireValue) {
  EXPECT_EQ(SetLensZoom(2048), KELVARO_OK);
  EXPECT_EQ(SetLensFocus(4096), KELVARO_OK);  // bit 12 falls off: the same bytes as 0
  EXPECT_EQ(SetLensFocus(0), KELVARO_OK);
  EXPECT_EQ(SetLensIris(4095), KELVARO_OK);
  EXPECT_EQ(SetLensIris(0xFABC), KELVARO_OK);  // only 0xABC counts

  const std::vector<Bytes> expected{
      {0x02, 0x21, 0x80, 0x00, 0x5D},
      {0x02, 0x22, 0x00, 0x00, 0xDC},
      {0x02, 0x22, 0x00, 0x00, 0xDC},
      MakeFrame(0x20, {0xFF, 0xF0}),
      MakeFrame(0x20, {0xAB, 0xC0}),
  };
  EXPECT_EQ(HostFrames(), expected);

  // What the lens took is what a query reads back.
  unsigned short iris = 0;
  unsigned short focus = 1;
  EXPECT_EQ(GetLensIris(&iris), KELVARO_OK);
  EXPECT_EQ(GetLensFocus(&focus), KELVARO_OK);
  EXPECT_EQ(iris, 0xABC);
  EXPECT_EQ(focus, 0);
}

TEST_F(PositionCommands, QueriesTurnTheWireValueIntoAPosition) {
  lenssim::LensState state;
  state.iris = 0x8000;
  state.zoom = 0xFFF0;
  state.focus = 0x123F;  // the low four bits are not part of the position
  lens.SetState(state);

  unsigned short iris = 0;
  unsigned short zoom = 0;
  unsigned short focus = 0;
  EXPECT_EQ(GetLensIris(&iris), KELVARO_OK);
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(GetLensFocus(&focus), KELVARO_OK);
  EXPECT_EQ(iris, 2048);
  EXPECT_EQ(zoom, 4095);
  EXPECT_EQ(focus, 0x123);
  const std::vector<Bytes> expected{{0x00, 0x30, 0xD0}, {0x00, 0x31, 0xCF}, {0x00, 0x32, 0xCE}};
  EXPECT_EQ(HostFrames(), expected);

  // The lens's own example reply.
  lens.SetFault(0x31, Fault::Raw({0x02, 0x31, 0x80, 0x00, 0x4D}, 1));
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
}

TEST_F(PositionCommands, FailedRepliesReportTheLastGoodValueWhicheverCommandItAnswered) {
  // A process of its own: no reply has passed its checksum yet, so the value is 0.
  unsigned short position = 99;
  lens.SetFault(0x30, Fault::BadChecksum(1));
  EXPECT_EQ(GetLensIris(&position), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(position, 0);

  lenssim::LensState state;
  state.iris = 0x1230;
  state.focus = 0x4560;
  lens.SetState(state);
  ASSERT_EQ(GetLensFocus(&position), KELVARO_OK);
  ASSERT_EQ(position, 0x456);

  position = 99;
  lens.SetFault(0x30, Fault::Silent(1));
  EXPECT_EQ(GetLensIris(&position), KELVARO_TIMEOUT);
  EXPECT_EQ(position, 0x456);

  position = 99;
  lens.SetFault(0x30, Fault::Short(2, 1));
  EXPECT_EQ(GetLensIris(&position), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(position, 0x456);

  // A reply with another function code passed its checksum: its value is fresh.
  lens.SetFault(0x30, Fault::WrongCode(0x32, 1));
  EXPECT_EQ(GetLensIris(&position), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(position, 0x123);

  // A move's reply carries no data and so leaves the value 0 behind.
  ASSERT_EQ(SetLensZoom(100), KELVARO_OK);
  position = 99;
  lens.SetFault(0x30, Fault::BadChecksum(1));
  EXPECT_EQ(GetLensIris(&position), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(position, 0);

  // A move reports its exchange's code too.
  lens.SetFault(0x21, Fault::WrongCode(0x20, 1));
  EXPECT_EQ(SetLensZoom(100), KELVARO_WRONG_REPLY_CODE);
}

TEST_F(PositionCommands, WithNoPortOpenNothingIsSentAndNoValueWritten) {
  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  lens.ClearReceived();

  EXPECT_EQ(SetLensIris(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetLensZoom(1), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(SetLensFocus(1), KELVARO_PORT_NOT_OPEN);
  unsigned short iris = 1234;
  unsigned short zoom = 1234;
  unsigned short focus = 1234;
  EXPECT_EQ(GetLensIris(&iris), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(GetLensFocus(&focus), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(iris, 1234);
  EXPECT_EQ(zoom, 1234);
  EXPECT_EQ(focus, 1234);
  EXPECT_TRUE(HostFrames().empty());
}

TEST_F(PositionCommands, NullOutValuesAreNotWritten) {
  // The query still goes out and its code comes back.
  EXPECT_EQ(GetLensIris(nullptr), KELVARO_OK);
  EXPECT_EQ(GetLensZoom(nullptr), KELVARO_OK);
  lens.SetFault(0x32, Fault::BadChecksum(1));
  EXPECT_EQ(GetLensFocus(nullptr), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(HostFrames().size(), 3u);
}

}  // namespace
}  // namespace kelvaro_test
