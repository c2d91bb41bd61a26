// The once-a-second lens check against the simulated lens: how the flag follows the lens,
// how many checks run, and that a check never slips in between a host call's request and
// its reply. Under CTest each test runs in a process of its own, with a fresh library.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Kelvaro32.h"
#include "check_frames.h"

namespace kelvaro_test {
namespace {

using lenssim::Bytes;
using lenssim::Fault;

class AutoConnectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(InitializeLensControl(), KELVARO_OK); }
  void TearDown() override { CloseComPort(); }

  void Open() { ASSERT_EQ(OpenComPort(lens.DevicePath().c_str()), KELVARO_OK); }

  bool WaitForFrame(const Bytes& frame, std::size_t count, int timeout_ms) {
    return kelvaro_test::WaitForFrame(lens, frame, count, timeout_ms);
  }

  void Connected() {
    Open();
    ASSERT_TRUE(WaitForFlag(IsAutoConnected, 1, 3000)) << "the check never connected";
  }

  lenssim::Simulator lens;
};

TEST_F(AutoConnectTest, StaysDisconnectedWhileNoPortIsOpen) {
  // The first check comes a second after initialisation; watch well past it.
  const auto until = Clock::now() + milliseconds(1600);
  while (Clock::now() < until) {
    ASSERT_EQ(IsAutoConnected(), 0);
    std::this_thread::sleep_for(milliseconds(40));
  }
  // The checks were running all along: with a port they reach the lens.
  Open();
  EXPECT_TRUE(WaitForFrame(kHandshakeFrame, 1, 2500));
}

TEST_F(AutoConnectTest, ConnectsPutsTheLensInHostModeZeroThenWatchesTheZoom) {
  lenssim::LensState state = lens.State();
  state.switches[4] = 0xFC;  // host mode 4, so the check's switch setting shows
  lens.SetState(state);

  Connected();
  const std::vector<Bytes> frames = lens.Received();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0], kHandshakeFrame);
  EXPECT_EQ(frames[1], kHostModeZero);
  EXPECT_EQ(lens.State().switches[4], 0xF8);

  // Once connected, the check asks for the zoom instead of repeating the handshake.
  ASSERT_TRUE(WaitForFrame(kZoomQuery, 2, 3500));
  EXPECT_EQ(CountOf(lens.Received(), kHandshakeFrame), 1u);
  EXPECT_EQ(IsAutoConnected(), 1);
}

TEST_F(AutoConnectTest, LensFallingSilentClearsTheFlagAtTheNextCheck) {
  Connected();
  lens.SetFault(0x31, Fault::Silent());
  lens.SetFault(0x01, Fault::Silent());
  lens.ClearReceived();

  ASSERT_TRUE(WaitForFrame(kZoomQuery, 1, 2500));
  // The check holds the library until its query has timed out, so this waits for it.
  EXPECT_EQ(IsAutoConnected(), 0);

  // Disconnected, the next check goes back to the handshake.
  ASSERT_TRUE(WaitForFrame(kHandshakeFrame, 1, 2500));
  EXPECT_EQ(IsAutoConnected(), 0);
  EXPECT_EQ(CountOf(lens.Received(), kZoomQuery), 1u);
}

TEST_F(AutoConnectTest, HandshakeAnsweredWithAnotherCodeLeavesTheFlagClear) {
  lens.SetFault(0x01, Fault::WrongCode(0x31));
  Open();
  ASSERT_TRUE(WaitForFrame(kHandshakeFrame, 2, 4000));
  EXPECT_EQ(IsAutoConnected(), 0);
  for (const Bytes& frame : lens.Received()) EXPECT_EQ(frame, kHandshakeFrame);
}

TEST_F(AutoConnectTest, EveryInitialisationAddsOneCheckPerSecond) {
  ASSERT_EQ(InitializeLensControl(), KELVARO_OK);  // the second
  Connected();
  std::this_thread::sleep_for(milliseconds(300));
  lens.ClearReceived();
  std::this_thread::sleep_for(milliseconds(4000));
  const std::size_t checks = ChecksSeen(lens);
  // Two timers give 8 in four seconds, one at most 5.
  EXPECT_GE(checks, 6u);
  EXPECT_LE(checks, 10u);
}

TEST_F(AutoConnectTest, HostCallsAndChecksNeverInterleave) {
  lenssim::LensState state = lens.State();
  state.iris = 0x1230;
  state.zoom = 0x4560;
  lens.SetState(state);
  Connected();
  // Slow replies on both sides: a check sent during a host call's wait would take the
  // host's reply (or the host the check's) and one of them would fail with 6 or 4.
  lens.SetFault(0x30, Fault::Delay(300));
  lens.SetFault(0x31, Fault::Delay(300));
  lens.ClearReceived();

  const auto until = Clock::now() + milliseconds(3500);
  int calls = 0;
  while (Clock::now() < until) {
    unsigned short iris = 0;
    ASSERT_EQ(GetLensIris(&iris), KELVARO_OK) << "call " << calls;
    ASSERT_EQ(iris, 0x123) << "call " << calls;
    ++calls;
  }

  const std::vector<Bytes> frames = lens.Received();
  // Checks kept their turn between the back-to-back host calls, and every one of them got
  // its own reply: a failed one would have been followed by a handshake.
  EXPECT_GE(CountOf(frames, kZoomQuery), 2u);
  EXPECT_EQ(CountOf(frames, kHandshakeFrame), 0u);
  EXPECT_EQ(CountOf(frames, kIrisQuery), static_cast<std::size_t>(calls));
  EXPECT_EQ(IsAutoConnected(), 1);
}

TEST_F(AutoConnectTest, CallsFromASecondHostThreadAreSafe) {
  Connected();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> focus_rounds{0};

  std::thread second([&] {
    for (unsigned short focus = 0; !stop; focus = (focus + 97) & 0xFFF) {
      unsigned short read_back = 0xFFFF;
      const int set = SetLensFocus(focus);
      const int got = GetLensFocus(&read_back);
      if (set != KELVARO_OK || got != KELVARO_OK || read_back != focus) ++failures;
      ++focus_rounds;
    }
  });

  int iris_rounds = 0;
  const auto until = Clock::now() + milliseconds(2500);
  for (unsigned short iris = 4095; Clock::now() < until; iris = (iris + 13) & 0xFFF) {
    unsigned short read_back = 0xFFFF;
    EXPECT_EQ(SetLensIris(iris), KELVARO_OK);
    EXPECT_EQ(GetLensIris(&read_back), KELVARO_OK);
    EXPECT_EQ(read_back, iris);
    EXPECT_EQ(IsAutoConnected(), 1);
    ++iris_rounds;
  }
  stop = true;
  second.join();

  EXPECT_EQ(failures, 0);
  EXPECT_GT(focus_rounds, 0);
  EXPECT_GT(iris_rounds, 0);
  EXPECT_GE(CountOf(lens.Received(), kZoomQuery), 2u);  // the checks ran in between
}

TEST_F(AutoConnectTest, TimerThatCannotBeCreatedIsReportedAndInitialisationStillSucceeds) {
  // Timers are added until the library refuses one; with no port open their checks cost
  // nothing. The refusal prints one line and the call still succeeds.
  std::string printed;
  int calls = 1;  // SetUp's
  while (printed.empty() && calls < 2000) {
    ::testing::internal::CaptureStdout();
    const int result = InitializeLensControl();
    printed = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, KELVARO_OK);
    ++calls;
  }
  EXPECT_EQ(printed, "timer failed\n");
  EXPECT_GT(calls, 2);  // two timers at least, as hosts are promised
}

TEST_F(AutoConnectTest, ForkDuringACheckLeavesTheChildAUsableLibrary) {
  lens.SetFault(0x01, Fault::Silent());
  Open();
  ASSERT_TRUE(WaitForFrame(kHandshakeFrame, 1, 2500));  // a check is waiting for its reply

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child has the library but not its timer thread: a call must not find the lock
    // held by a check that is not there, and exit must not wait for that thread.
    const int flag = IsAutoConnected();
    const int closed = CloseComPort();
    std::exit(flag == 0 && closed == KELVARO_OK ? 0 : 1);
  }

  int status = 0;
  pid_t done = 0;
  const auto until = Clock::now() + milliseconds(3000);
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the forked child hung";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's checks go on.
  EXPECT_TRUE(WaitForFrame(kHandshakeFrame, 2, 2500));
}

}  // namespace
}  // namespace kelvaro_test
