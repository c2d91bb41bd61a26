// The once-a-second check, which Windows delivers as WM_TIMER through the message loop of
// the thread that initialised the DLL: how the flag follows the lens in a host that pumps
// messages, and that no timer message reaches the DLL once FreeLibrary has unloaded it.
#include <algorithm>

#include "wine_host.h"

namespace kelvaro_wine {
namespace {

const Bytes kHostModeZero{0x01, 0x44, 0xF8, 0xC3};

std::size_t CountOf(const std::vector<Bytes>& frames, const Bytes& frame) {
  return static_cast<std::size_t>(std::count(frames.begin(), frames.end(), frame));
}

bool Connected(Dll& dll) { return dll.IsAutoConnected() == 1; }
bool Disconnected(Dll& dll) { return dll.IsAutoConnected() == 0; }

using AutoConnect = InitialisedTest;

TEST_F(AutoConnect, APumpingHostConnectsAndPutsTheLensInHostModeZero) {
  lens.Do("state switch 4 fc");
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  // A thread that does not pump gets no checks at all.
  Sleep(1600);
  EXPECT_TRUE(lens.Frames().empty());
  EXPECT_EQ(dll.IsAutoConnected(), 0);

  PumpMessages(3000, Connected, &dll);
  ASSERT_EQ(dll.IsAutoConnected(), 1);
  EXPECT_EQ(lens.Frames(), (std::vector<Bytes>{kHandshake, kHostModeZero}));
  EXPECT_NE(lens.Do("state").find("switch4 f8"), std::string::npos);

  // Connected, the check asks for the zoom instead of repeating the handshake.
  EXPECT_GE(PumpMessages(2500), 2);
  const std::vector<Bytes> frames = lens.Frames();
  EXPECT_GE(CountOf(frames, kZoomQuery), 2u);
  EXPECT_EQ(CountOf(frames, kHandshake), 1u);
  EXPECT_EQ(dll.IsAutoConnected(), 1);
}

TEST_F(AutoConnect, ALensFallingSilentClearsTheFlagAtTheNextCheck) {
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  PumpMessages(3000, Connected, &dll);
  ASSERT_EQ(dll.IsAutoConnected(), 1);
  lens.Do("line silent 1");
  lens.ClearFrames();
  PumpMessages(3000, Disconnected, &dll);
  EXPECT_EQ(dll.IsAutoConnected(), 0);
  EXPECT_EQ(lens.Frames(), std::vector<Bytes>{kZoomQuery});
  // Disconnected, the next checks go back to the handshake.
  PumpMessages(1500);
  EXPECT_GE(CountOf(lens.Frames(), kHandshake), 1u);
  EXPECT_EQ(CountOf(lens.Frames(), kZoomQuery), 1u);
}

TEST_F(AutoConnect, NoPortOrAnotherReplyCodeLeavesTheFlagClear) {
  EXPECT_GE(PumpMessages(1600), 1);  // checks ran, with no port to go to
  EXPECT_EQ(dll.IsAutoConnected(), 0);
  lens.Do("fault 01 wrong 31");
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  PumpMessages(2600);
  EXPECT_EQ(dll.IsAutoConnected(), 0);
  const std::vector<Bytes> frames = lens.Frames();
  EXPECT_GE(frames.size(), 2u);
  EXPECT_EQ(CountOf(frames, kHandshake), frames.size());
}

TEST_F(AutoConnect, EveryInitialisationAddsOneCheckPerSecond) {
  ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);  // the second
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  PumpMessages(3000, Connected, &dll);
  ASSERT_EQ(dll.IsAutoConnected(), 1);
  lens.ClearFrames();
  PumpMessages(4000);
  const std::vector<Bytes> frames = lens.Frames();
  const std::size_t checks = CountOf(frames, kZoomQuery) + CountOf(frames, kHandshake);
  EXPECT_GE(checks, 6u);  // two timers give 8 in four seconds, one at most 5
  EXPECT_LE(checks, 10u);
}

TEST_F(AutoConnect, ATimerThatCannotBeCreatedIsReportedAndInitialisationStillSucceeds) {
  std::string printed;
  int calls = 1;  // SetUp's
  while (printed.empty() && calls < 500) {
    ::testing::internal::CaptureStdout();
    const int result = dll.InitializeLensControl();
    printed = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, KELVARO_OK);
    ++calls;
  }
  EXPECT_EQ(printed, "timer failed\n");
  EXPECT_GT(calls, 2);
}

TEST(Unload, NoTimerMessageReachesTheDllAfterFreeLibrary) {
  Lens lens;
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  PumpMessages(3000, Connected, &dll);
  ASSERT_EQ(dll.IsAutoConnected(), 1);
  ASSERT_NO_FATAL_FAILURE(dll.Unload());
  EXPECT_EQ(PumpMessages(2500), 0);
}

TEST(Unload, EachUnloadClosesThePortLeftOpen) {
  Lens lens;
  const int closed = LensPortOpeners();
  for (int cycle = 0; cycle < 4; ++cycle) {
    SCOPED_TRACE(cycle);
    Dll dll;
    ASSERT_NO_FATAL_FAILURE(dll.Load());
    EXPECT_EQ(dll.Connect(), KELVARO_NOT_INITIALIZED);  // a fresh DLL each time
    ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
    ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
    if (cycle % 2 == 1) {
      PumpMessages(3000, Connected, &dll);
      ASSERT_EQ(dll.IsAutoConnected(), 1);
    }
    ASSERT_NO_FATAL_FAILURE(dll.Unload());
    // On Windows a handle left behind would keep the next cycle (and any program) out.
    EXPECT_EQ(LensPortOpeners(), closed);
    EXPECT_EQ(PumpMessages(100), 0);
  }
}

}  // namespace
}  // namespace kelvaro_wine
