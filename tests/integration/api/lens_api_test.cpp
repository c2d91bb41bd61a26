// The handle interface against simulated lenses on pseudo-terminals: several lenses at once,
// frame-ended and timed reads, values written only on success, and every kind of bad handle
// or argument.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelvaro.h"
#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

using lenssim::EncodeScaled;
using lenssim::MakeFrame;

const Bytes kZoomQuery{0x00, 0x31, 0xCF};
const Bytes kHostModeZero{0x01, 0x44, 0xF8, 0xC3};

// A lens opened through the handle interface, closed at the end of the test.
struct Handle {
  explicit Handle(const std::string& port, kelvaro_options options = {}) {
    code = kelvaro_open(port.c_str(), &options, &lens);
  }
  ~Handle() {
    if (lens != nullptr) kelvaro_close(lens);
  }
  int code = -1;
  kelvaro_lens* lens = nullptr;
};

class LensApi : public ::testing::Test {
 protected:
  void SetUp() override {
    open = std::make_unique<Handle>(lens.DevicePath());
    ASSERT_EQ(open->code, KELVARO_OK);
    handle = open->lens;
  }

  lenssim::Simulator lens;
  std::unique_ptr<Handle> open;
  kelvaro_lens* handle = nullptr;
};

TEST_F(LensApi, CommandsSendTheirFramesAndReportNumbers) {
  lenssim::LensState state;
  state.zoom = 1234 << 4;
  state.switches[4] = 0xFC;
  lens.SetState(state);

  EXPECT_EQ(kelvaro_connect(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_move(handle, KELVARO_FOCUS, 2048), KELVARO_OK);
  unsigned short position = 0;
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  EXPECT_EQ(position, 1234);
  EXPECT_EQ(kelvaro_set_switch(handle, 3, 0xFE), KELVARO_OK);
  unsigned char byte = 0;
  EXPECT_EQ(kelvaro_switch(handle, 4, &byte), KELVARO_OK);
  EXPECT_EQ(byte, 0xFC);  // the whole byte, not the three bits GetSwitch4Host keeps
  const std::vector<Bytes> expected{
      {0x00, 0x01, 0xFF}, {0x02, 0x22, 0x80, 0x00, 0x5C}, kZoomQuery, {0x01, 0x43, 0xFE, 0xBE}, {0x00, 0x54, 0xAC}};
  EXPECT_EQ(lens.Received(), expected);
}

TEST_F(LensApi, MagnifierAndAutoIrisSendTheFlatFunctionsBytes) {
  lenssim::LensState state;
  state.switches[3] = 0xFE;
  lens.SetState(state);
  int on = -1;
  EXPECT_EQ(kelvaro_magnifier(handle, &on), KELVARO_OK);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(kelvaro_set_magnifier(handle, 0), KELVARO_OK);
  EXPECT_EQ(kelvaro_magnifier(handle, &on), KELVARO_OK);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(kelvaro_set_magnifier(handle, 7), KELVARO_OK);
  EXPECT_EQ(kelvaro_set_auto_iris(handle, 1), KELVARO_OK);
  EXPECT_EQ(kelvaro_set_auto_iris(handle, 0), KELVARO_OK);
  const std::vector<Bytes> expected{{0x00, 0x53, 0xAD},       {0x01, 0x43, 0xFF, 0xBD}, {0x00, 0x53, 0xAD},
                                    {0x01, 0x43, 0xFE, 0xBE}, {0x01, 0x42, 0xCF, 0xEE}, {0x01, 0x44, 0xFC, 0xBF},
                                    kHostModeZero};
  EXPECT_EQ(lens.Received(), expected);

  // Both auto-iris requests go out even when the first fails, and its code is the one given.
  lens.ClearReceived();
  lens.SetFault(0x42, Fault::Silent(1));
  EXPECT_EQ(kelvaro_set_auto_iris(handle, 1), KELVARO_TIMEOUT);
  EXPECT_EQ(lens.Received().size(), 2u);
  EXPECT_EQ(kelvaro_magnifier(handle, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_set_magnifier(nullptr, 1), KELVARO_INVALID_ARGUMENT);
}

TEST(SwitchLabel, IsTheFlatGettersTextAndFitsOrWritesNothing) {
  const struct {
    int number;
    unsigned char value;
    const char* label;
  } cases[] = {{0, 0x0E, "850nm  [e]"},       {0, 0x0C, "950nm  [c]"}, {0, 0x05, "LensCode [5]"},
               {2, 0xDF, "Remote Iris [df]"}, {2, 0xCF, "Auto Iris [cf]"}, {3, 0xFE, "Mag x2 [fe]"},
               {3, 0xFF, "Mag x1 [ff]"},      {4, 0xF8, "Mode 0 Host [f8]"}, {4, 0xFF, "Mode 7 Local/Auto [ff]"}};
  for (const auto& c : cases) {
    char text[32];
    ASSERT_EQ(kelvaro_switch_label(c.number, c.value, text, sizeof text), KELVARO_OK) << c.label;
    EXPECT_STREQ(text, c.label);
    const std::size_t length = std::strlen(c.label);
    EXPECT_EQ(kelvaro_switch_label(c.number, c.value, text, length + 1), KELVARO_OK) << c.label;
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(kelvaro_switch_label(c.number, c.value, text, length), KELVARO_INVALID_ARGUMENT) << c.label;
    EXPECT_EQ(text[0], '#') << "written though too small: " << c.label;
  }
  char text[32] = "x";
  for (int number : {-1, 1, 5, 256}) EXPECT_EQ(kelvaro_switch_label(number, 0, text, sizeof text), KELVARO_INVALID_ARGUMENT);
  EXPECT_STREQ(text, "x");
  EXPECT_EQ(kelvaro_switch_label(3, 0xFE, nullptr, 32), KELVARO_INVALID_ARGUMENT);
}

TEST_F(LensApi, NameComesWholeAndFitsItsBuffer) {
  char name[300];
  EXPECT_EQ(kelvaro_name(handle, name, sizeof name), KELVARO_OK);
  EXPECT_STREQ(name, "Simulated Zoom Lens 10-200");  // 15 characters from 0x11, the rest from 0x12
  EXPECT_EQ(lens.Received().size(), 2u);

  char small[6];
  EXPECT_EQ(kelvaro_name(handle, small, sizeof small), KELVARO_OK);
  EXPECT_STREQ(small, "Simul");
  EXPECT_EQ(kelvaro_name(handle, small, 1), KELVARO_OK);
  EXPECT_STREQ(small, "");

  lenssim::LensState state;
  state.name = "Short Lens";  // under 15 characters: one exchange
  lens.SetState(state);
  lens.ClearReceived();
  EXPECT_EQ(kelvaro_name(handle, name, sizeof name), KELVARO_OK);
  EXPECT_STREQ(name, "Short Lens");
  EXPECT_EQ(lens.Received().size(), 1u);
}

TEST_F(LensApi, OpticsAgreeWithTheFlatTextsDigitForDigit) {
  InitialiseOnce();
  lens.SetFault(0x01, Fault::Silent());  // the flat check stays out of the way
  const struct {
    std::uint16_t wide, tele, mod, aperture;
  } cases[] = {
      {0xD00A, 0xD0C8, 0xD384, 0xE000},
      {EncodeScaled(4095, -8), EncodeScaled(4095, 7), EncodeScaled(4095, -1), 0x0000},
      {EncodeScaled(1, -3), EncodeScaled(123, -2), EncodeScaled(5, -1), 0xE800},
  };
  for (const auto& c : cases) {
    lenssim::LensState state;
    state.focal_wide = c.wide;
    state.focal_tele = c.tele;
    state.mod = c.mod;
    state.aperture = c.aperture;
    lens.SetState(state);

    kelvaro_optics optics{};
    ASSERT_EQ(kelvaro_read_optics(handle, &optics), KELVARO_OK);
    ASSERT_EQ(kelvaro_close(handle), KELVARO_OK);
    open->lens = nullptr;

    ASSERT_EQ(OpenComPort(lens.DevicePath().c_str()), KELVARO_OK);
    char focal[64], mod[64], aperture[64];
    GetLensFocalLengthRange(focal);
    GetLensMOD(mod);
    GetLensOpenFNo(aperture);
    CloseComPort();

    char expected[64];
    std::snprintf(expected, sizeof expected, "Focal Length  %.1f to  %.1f mm", optics.focal_min_mm, optics.focal_max_mm);
    EXPECT_STREQ(focal, expected);
    std::snprintf(expected, sizeof expected, "MOD:  %.1f meters", optics.mod_m);
    EXPECT_STREQ(mod, expected);
    std::snprintf(expected, sizeof expected, "Aperture: f/%.2f", optics.f_number);
    EXPECT_STREQ(aperture, expected);

    open = std::make_unique<Handle>(lens.DevicePath());
    ASSERT_EQ(open->code, KELVARO_OK);
    handle = open->lens;
  }
}

TEST_F(LensApi, OutValuesAreWrittenOnlyOnSuccess) {
  const struct {
    std::uint8_t function;
    Fault fault;
    int code;
  } failures[] = {
      {0x31, Fault::Silent(1), KELVARO_TIMEOUT},
      {0x31, Fault::BadChecksum(1), KELVARO_BAD_CHECKSUM},
      {0x31, Fault::Short(2, 1), KELVARO_REPLY_TOO_SHORT},
      {0x31, Fault::WrongCode(0x30, 1), KELVARO_WRONG_REPLY_CODE},
  };
  for (const auto& f : failures) {
    lens.SetFault(f.function, f.fault);
    unsigned short position = 0xBEEF;
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), f.code);
    EXPECT_EQ(position, 0xBEEF);
  }

  lens.SetFault(0x54, Fault::Silent(1));
  unsigned char byte = 0x5A;
  EXPECT_EQ(kelvaro_switch(handle, 4, &byte), KELVARO_TIMEOUT);
  EXPECT_EQ(byte, 0x5A);

  // A name whose second part fails leaves the buffer as it was, not half a name.
  lens.SetFault(0x12, Fault::BadChecksum(1));
  char name[64] = "untouched";
  EXPECT_EQ(kelvaro_name(handle, name, sizeof name), KELVARO_BAD_CHECKSUM);
  EXPECT_STREQ(name, "untouched");

  // Optics whose last answer fails: nothing written, the first failing code returned.
  lens.SetFault(0x13, Fault::Silent(1));
  kelvaro_optics optics{-1, -1, -1, -1};
  EXPECT_EQ(kelvaro_read_optics(handle, &optics), KELVARO_TIMEOUT);
  EXPECT_EQ(optics.focal_min_mm, -1);
  EXPECT_EQ(optics.f_number, -1);
}

TEST_F(LensApi, ALateReplyIsNeverTakenForTheNextOne) {
  lens.SetFault(0x31, Fault::Delay(650, 1));  // arrives after its read gave up
  unsigned short position = 0;
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the late reply is in the queue
  lenssim::LensState state;
  state.iris = 77 << 4;
  lens.SetState(state);
  EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &position), KELVARO_OK);
  EXPECT_EQ(position, 77);
}

// The rest of a reply given up, arriving after its read, pays that reply's debt before the
// next request, which is then neither repeated nor spoiled. The start of a frame that never
// goes on is no part of the next reply, nor of its silence.
TEST_F(LensApi, WhatComesAfterAReadGaveUpIsSettledBeforeTheNextRequest) {
  lenssim::LensState state;
  state.zoom = 42 << 4;
  state.iris = 7 << 4;
  lens.SetState(state);
  lens.SetFault(0x31, Fault::Split(2, 250, 1));
  unsigned short position = 0;
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_REPLY_TOO_SHORT);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  lens.ClearReceived();
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  EXPECT_EQ(position, 42);
  EXPECT_EQ(lens.Received().size(), 1u) << "repeated";

  lens.SetFault(0x31, Fault::Silent(1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_TIMEOUT);
  const Bytes stray{0x91, 0x31};  // a long zoom frame, as far as it goes
  lens.SendUnsolicited(stray);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &position), KELVARO_OK);
  EXPECT_EQ(position, 7);
  lens.SendUnsolicited(stray);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  lens.SetFault(0x30, Fault::Silent(1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &position), KELVARO_TIMEOUT);
}

// Replies that are not the one asked for, in either framing: a reply cut short whose bytes
// happen to sum to 0, and a late reply that arrives, with or without the new one behind it,
// during the next exchange (after the queue was emptied for it).
TEST_F(LensApi, OnlyTheWholeReplyToThisRequestIsTaken) {
  for (int framing : {KELVARO_FRAMING_FRAME, KELVARO_FRAMING_TIMED}) {
    kelvaro_close(handle);
    open = std::make_unique<Handle>(lens.DevicePath(), kelvaro_options{framing, 0, 0});
    ASSERT_EQ(open->code, KELVARO_OK);
    handle = open->lens;
    lenssim::LensState state;
    state.zoom = 3280 << 4;  // 02 31 CD 00 ..: the first three bytes sum to 0
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Short(3, 1));
    unsigned short zoom = 0;
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_REPLY_TOO_SHORT) << framing;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // out of the late-reply watch

    state.zoom = 1000 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Delay(700, 1));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT) << framing;
    state.zoom = 2000 << 4;
    lens.SetState(state);
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 2000) << framing;

    // The late reply alone, this request unanswered: the request is asked once more.
    lens.SetFault(0x31, Fault::Delay(700, 1));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT) << framing;
    state.zoom = 3000 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Silent(1));
    lens.ClearReceived();
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 3000) << framing;
    EXPECT_EQ(lens.Received().size(), 2u) << framing;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));

    // The late reply comes in the next request's read (+1400 ms), which is sent again
    // (+1500); the first of its two replies is taken (+1600), and the second (+1800) comes
    // after the late reply's own second had run out (+1500): still owed, it is not taken for
    // the next request, which the lens does not answer until asked again.
    const auto t0 = std::chrono::steady_clock::now();
    const auto at = [t0](int ms) { std::this_thread::sleep_until(t0 + std::chrono::milliseconds(ms)); };
    lens.SetFault(0x31, Fault::Delay(1400, 1));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT) << framing;
    state.zoom = 500 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Delay(300, 2));
    at(1300);
    lens.ClearReceived();
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 500) << framing;
    EXPECT_EQ(lens.Received().size(), 2u) << framing;
    state.zoom = 600 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Silent(1));
    at(1700);
    lens.ClearReceived();
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 600) << framing;
    EXPECT_EQ(lens.Received().size(), 2u) << framing;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));

    // Late zoom (+1100) then late iris (+1300) replies, and a zoom request sent again in
    // between: the zoom reply still owed for it comes after the iris one (+1550), so the
    // iris reply does not write it off.
    lens.SetFault(0x31, Fault::Delay(1100, 1));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT) << framing;
    lens.SetFault(0x30, Fault::Delay(800, 1));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &zoom), KELVARO_TIMEOUT) << framing;
    state.zoom = 700 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Delay(350, 2));
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 700) << framing;
    state.zoom = 800 << 4;
    lens.SetState(state);
    lens.SetFault(0x31, Fault::Silent(1));
    lens.ClearReceived();
    EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK) << framing;
    EXPECT_EQ(zoom, 800) << framing;
    EXPECT_EQ(lens.Received().size(), 2u) << framing;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  }
}

TEST_F(LensApi, AFrameEndedReadStopsAtTheWholeFrameAndWaitsForTheRest) {
  unsigned short position = 0;
  // Ten timed exchanges would take at least a second of quiet line.
  const long long ten = MillisecondsOf([&] {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  });
  EXPECT_LT(ten, 900);

  // A frame in two pieces is waited for across the gap, within the 100 ms between bytes.
  lens.SetFault(0x31, Fault::Split(2, 60, 1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  EXPECT_EQ(position, 2048);

  // A frame that never completes ends as a timed read does.
  lens.SetFault(0x31, Fault::Raw({0x02, 0x31, 0x80}, 1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_BAD_CHECKSUM);
  lens.SetFault(0x31, Fault::BadChecksum(1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_BAD_CHECKSUM);
}

TEST_F(LensApi, TimedFramingEndsAfterTheQuietGap) {
  Handle timed(lens.DevicePath(), {KELVARO_FRAMING_TIMED, 0, 0});
  EXPECT_EQ(timed.code, KELVARO_UNABLE_TO_OPEN_PORT);  // the device is held by the first handle
  kelvaro_close(handle);
  open->lens = nullptr;

  Handle reopened(lens.DevicePath(), {KELVARO_FRAMING_TIMED, 0, 0});
  ASSERT_EQ(reopened.code, KELVARO_OK);
  unsigned short position = 0;
  int code = -1;
  const long long elapsed = MillisecondsOf([&] { code = kelvaro_position(reopened.lens, KELVARO_ZOOM, &position); });
  EXPECT_EQ(code, KELVARO_OK);
  EXPECT_EQ(position, 2048);
  EXPECT_GE(elapsed, 95);  // the read waited out the gap after the last byte
}

TEST_F(LensApi, BadHandlesAndArgumentsSendNothing) {
  kelvaro_lens* closed = nullptr;
  {
    lenssim::Simulator other;
    Handle second(other.DevicePath());
    ASSERT_EQ(second.code, KELVARO_OK);
    closed = second.lens;
  }
  kelvaro_lens* never = reinterpret_cast<kelvaro_lens*>(static_cast<std::uintptr_t>(0x7FFF01));
  kelvaro_lens* garbage = reinterpret_cast<kelvaro_lens*>(&closed);
  unsigned short position = 1;
  unsigned char byte = 1;
  char name[16] = "x";
  kelvaro_optics optics{};
  for (kelvaro_lens* bad : {static_cast<kelvaro_lens*>(nullptr), closed, never, garbage}) {
    EXPECT_EQ(kelvaro_connect(bad), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_is_connected(bad), 0);
    EXPECT_EQ(kelvaro_move(bad, KELVARO_ZOOM, 1), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_position(bad, KELVARO_ZOOM, &position), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_set_switch(bad, 0, 1), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_switch(bad, 0, &byte), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_name(bad, name, sizeof name), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_read_optics(bad, &optics), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_close(bad), KELVARO_INVALID_ARGUMENT);
  }
  for (int axis : {-1, 3, 0x7FFFFFFF}) {
    EXPECT_EQ(kelvaro_move(handle, axis, 1), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_position(handle, axis, &position), KELVARO_INVALID_ARGUMENT);
  }
  for (int number : {-1, 1, 5, 0x40}) {
    EXPECT_EQ(kelvaro_set_switch(handle, number, 1), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(kelvaro_switch(handle, number, &byte), KELVARO_INVALID_ARGUMENT);
  }
  EXPECT_EQ(kelvaro_position(handle, KELVARO_ZOOM, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_switch(handle, 0, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_name(handle, nullptr, 10), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_name(handle, name, 0), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_read_optics(handle, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(position, 1);
  EXPECT_EQ(byte, 1);
  EXPECT_STREQ(name, "x");
  EXPECT_TRUE(lens.Received().empty());

  // A closed lens's record, opened again, gives a new handle; the old one stays dead.
  EXPECT_EQ(kelvaro_close(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_close(handle), KELVARO_INVALID_ARGUMENT);
  Handle again(lens.DevicePath());
  ASSERT_EQ(again.code, KELVARO_OK);
  EXPECT_NE(again.lens, handle);
  EXPECT_EQ(kelvaro_connect(handle), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_connect(again.lens), KELVARO_OK);
  open->lens = nullptr;
}

TEST(LensApiOpen, FailuresLeaveNothingOpen) {
  const int descriptors = OpenDescriptors();
  kelvaro_lens* lens = reinterpret_cast<kelvaro_lens*>(&lens);
  EXPECT_EQ(kelvaro_open(nullptr, nullptr, &lens), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(lens, nullptr);
  EXPECT_EQ(kelvaro_open("/dev/null", nullptr, nullptr), KELVARO_INVALID_ARGUMENT);
  const kelvaro_options bad_options[] = {{2, 0, 0}, {-1, 0, 0}, {0, 0, 1}};
  for (const kelvaro_options& options : bad_options) {
    EXPECT_EQ(kelvaro_open("/dev/null", &options, &lens), KELVARO_INVALID_ARGUMENT);
  }
  EXPECT_EQ(kelvaro_open("/dev/kelvaro-no-such-port", nullptr, &lens), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(kelvaro_open("", nullptr, &lens), KELVARO_INVALID_ARGUMENT);
  // Not a terminal: refused, and closed again rather than kept.
  EXPECT_EQ(kelvaro_open("/dev/null", nullptr, &lens), KELVARO_COMMS_ERROR);
  EXPECT_EQ(lens, nullptr);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(LensApiOpen, ThePoolHoldsSixtyFourLensesAndFreesItsRecords) {
  const int descriptors = OpenDescriptors();
  {
    std::vector<std::unique_ptr<lenssim::Simulator>> lenses;
    std::vector<std::unique_ptr<Handle>> handles;
    for (int i = 0; i < KELVARO_MAX_LENSES; ++i) {
      lenses.push_back(std::make_unique<lenssim::Simulator>());
      handles.push_back(std::make_unique<Handle>(lenses.back()->DevicePath()));
      ASSERT_EQ(handles.back()->code, KELVARO_OK) << i;
    }
    lenssim::Simulator extra;
    auto one_more = std::make_unique<Handle>(extra.DevicePath());
    EXPECT_EQ(one_more->code, KELVARO_NO_FREE_LENS);
    EXPECT_EQ(one_more->lens, nullptr);

    // Every lens answers for itself; one closed frees a record for one more.
    for (std::size_t i = 0; i < handles.size(); ++i) {
      EXPECT_EQ(kelvaro_connect(handles[i]->lens), KELVARO_OK) << i;
    }
    handles[5].reset();
    one_more = std::make_unique<Handle>(extra.DevicePath());
    EXPECT_EQ(one_more->code, KELVARO_OK);
    EXPECT_EQ(kelvaro_connect(one_more->lens), KELVARO_OK);
    EXPECT_EQ(extra.Received().size(), 1u);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Two lenses, each driven by a thread of its own, at once: every answer is its own lens's.
TEST(LensApiThreads, TwoLensesFromTwoThreadsEachAnswerForThemselves) {
  lenssim::Simulator a;
  lenssim::Simulator b;
  lenssim::LensState state_a;
  state_a.name = "Lens A";
  state_a.zoom = 100 << 4;
  state_a.focal_tele = EncodeScaled(50, -3);
  lenssim::LensState state_b;
  state_b.name = "The Second Lens, Longer Name";
  state_b.zoom = 3000 << 4;
  state_b.focal_tele = EncodeScaled(300, -3);
  a.SetState(state_a);
  b.SetState(state_b);
  Handle lens_a(a.DevicePath());
  Handle lens_b(b.DevicePath());
  ASSERT_EQ(lens_a.code, KELVARO_OK);
  ASSERT_EQ(lens_b.code, KELVARO_OK);

  std::atomic<int> wrong{0};
  auto drive = [&wrong](kelvaro_lens* lens, const char* name, unsigned short zoom, double tele_mm) {
    for (int i = 0; i < 40; ++i) {
      char text[64] = "";
      unsigned short position = 0;
      kelvaro_optics optics{};
      if (kelvaro_name(lens, text, sizeof text) != KELVARO_OK || std::strcmp(text, name) != 0) ++wrong;
      if (kelvaro_position(lens, KELVARO_ZOOM, &position) != KELVARO_OK || position != zoom) ++wrong;
      // Single-precision decoding: 50 x 10^-3 m is 50.0000007 mm.
      if (kelvaro_read_optics(lens, &optics) != KELVARO_OK || std::fabs(optics.focal_max_mm - tele_mm) > 1e-4) ++wrong;
    }
  };
  std::thread first(drive, lens_a.lens, "Lens A", 100, 50.0);
  std::thread second(drive, lens_b.lens, "The Second Lens, Longer Name", 3000, 300.0);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Several threads on one lens are served one at a time: no exchange is cut into another.
TEST_F(LensApi, ThreadsSharingALensTakeTurns) {
  lenssim::LensState state;
  state.iris = 1 << 4;
  state.zoom = 2 << 4;
  state.focus = 3 << 4;
  lens.SetState(state);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int axis : {KELVARO_IRIS, KELVARO_ZOOM, KELVARO_FOCUS}) {
    threads.emplace_back([&, axis] {
      for (int i = 0; i < 30; ++i) {
        unsigned short position = 0;
        if (kelvaro_position(handle, axis, &position) != KELVARO_OK || position != axis + 1) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(LensApi, CallsRacingACloseGetTheirAnswerOrInvalidArgument) {
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> refused{0};
  std::thread caller([&] {
    while (!stop) {
      unsigned short position = 0;
      const int code = kelvaro_position(handle, KELVARO_ZOOM, &position);
      if (code == KELVARO_INVALID_ARGUMENT) {
        ++refused;
      } else if (code != KELVARO_OK || position != 2048) {
        ++unexpected;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(kelvaro_close(handle), KELVARO_OK);
  open->lens = nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  caller.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(refused.load(), 0);
}

// The check runs on a thread of the library, per lens, and needs nothing from the host.
TEST(LensApiWatch, TheCheckConnectsAndASilentLensDelaysNoOther) {
  lenssim::Simulator answering;
  lenssim::Simulator silent;
  silent.SetLineFaults({true, 0, 0.0, 1});
  Handle watched(answering.DevicePath(), {KELVARO_FRAMING_FRAME, 1, 0});
  Handle quiet(silent.DevicePath(), {KELVARO_FRAMING_FRAME, 1, 0});
  ASSERT_EQ(watched.code, KELVARO_OK);
  ASSERT_EQ(quiet.code, KELVARO_OK);
  EXPECT_EQ(kelvaro_is_connected(watched.lens), 0);

  ASSERT_TRUE(answering.WaitForFrames(2, 2500));
  const std::vector<Bytes> expected{kHandshake, kHostModeZero};
  EXPECT_EQ(answering.Received(), expected);
  for (int i = 0; i < 20 && kelvaro_is_connected(watched.lens) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(kelvaro_is_connected(watched.lens), 1);

  // While the silent lens's checks wait out their time-outs, the other lens answers at once.
  ASSERT_TRUE(silent.WaitForFrames(1, 2500));
  long long slowest = 0;
  for (int i = 0; i < 30; ++i) {
    unsigned short position = 0;
    const long long ms = MillisecondsOf([&] { EXPECT_EQ(kelvaro_position(watched.lens, KELVARO_ZOOM, &position), KELVARO_OK); });
    if (ms > slowest) slowest = ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LT(slowest, 300);  // waiting behind the silent lens would cost its 500 ms
  EXPECT_EQ(kelvaro_is_connected(quiet.lens), 0);

  // The answering lens goes quiet: the next check notices.
  answering.SetLineFaults({true, 0, 0.0, 1});
  for (int i = 0; i < 250 && kelvaro_is_connected(watched.lens) == 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(kelvaro_is_connected(watched.lens), 0);

  // Closing stops the checks: the lens hears nothing more.
  long long closing = MillisecondsOf([&] { EXPECT_EQ(kelvaro_close(quiet.lens), KELVARO_OK); });
  quiet.lens = nullptr;
  EXPECT_LT(closing, 2000);
  silent.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_TRUE(silent.Received().empty());
}

}  // namespace
}  // namespace kelvaro_test
