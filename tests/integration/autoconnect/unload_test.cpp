// The library's check against the end of its life: unloading with dlclose while the check
// runs, and a host process that exits or is stopped while one is in flight. This program
// is not linked against the library: it loads it by path, or runs a host program that is.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Kelvaro32.h"
#include "kelvaro.h"
#include "check_frames.h"

extern char** environ;

namespace kelvaro_test {
namespace {

using lenssim::Fault;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// The library loaded with dlopen, and the functions these tests call.
struct LoadedLibrary {
  void* handle = nullptr;
  decltype(&InitializeLensControl) initialise = nullptr;
  decltype(&OpenComPort) open_port = nullptr;
  decltype(&CloseComPort) close_port = nullptr;
  decltype(&IsAutoConnected) is_auto_connected = nullptr;

  template <typename Function>
  void Find(Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    ASSERT_NE(function, nullptr) << name;
  }

  void Load() {
    handle = dlopen(KELVARO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    Find(initialise, "InitializeLensControl");
    Find(open_port, "OpenComPort");
    Find(close_port, "CloseComPort");
    Find(is_auto_connected, "IsAutoConnected");
  }

  // Unloads and checks that the library really left the process.
  void Unload() {
    ASSERT_EQ(dlclose(handle), 0) << dlerror();
    handle = nullptr;
    void* still = dlopen(KELVARO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) dlclose(still);
    ASSERT_EQ(still, nullptr) << "the library stayed loaded";
  }

  bool WaitConnected(int timeout_ms) { return WaitForFlag(is_auto_connected, 1, timeout_ms); }
};

TEST(Unload, LoadInitialiseAndUnloadManyTimesWhileTheLensAnswers) {
  // One lens for all cycles: a port left open at unload is closed with the library, so the
  // next load can open the same device again.
  lenssim::Simulator lens;
  lens.SetFault(0x01, Fault::Delay(150));  // stretch every check, so unloads meet one
  lens.SetFault(0x31, Fault::Delay(150));
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE(cycle);
    LoadedLibrary library;
    ASSERT_NO_FATAL_FAILURE(library.Load());
    ASSERT_EQ(library.is_auto_connected(), 0);  // a fresh library each time
    ASSERT_EQ(library.initialise(), KELVARO_OK);
    if (cycle % 3 == 0) {
      ASSERT_EQ(library.initialise(), KELVARO_OK);  // two timers now and then
    }
    ASSERT_EQ(library.open_port(lens.DevicePath().c_str()), KELVARO_OK);

    switch (cycle % 4) {
      case 0:  // before the first check
        std::this_thread::sleep_for(milliseconds(10 * cycle));
        break;
      case 1:  // closing while the first handshake waits for its reply
        ASSERT_TRUE(WaitForFrame(lens, kHandshakeFrame, 1, 3000));
        EXPECT_EQ(library.close_port(), KELVARO_OK);
        break;
      case 2:  // connected, unloading with the port open while a zoom query is out
        ASSERT_TRUE(library.WaitConnected(3000));
        ASSERT_TRUE(WaitForFrame(lens, kZoomQuery, 1, 3000));
        break;
      case 3:  // unloading with the port open while the first handshake is out
        ASSERT_TRUE(WaitForFrame(lens, kHandshakeFrame, 1, 3000));
        break;
    }
    ASSERT_NO_FATAL_FAILURE(library.Unload());
  }
}

// Lenses left streaming, moving and jogging: the unload ends it all, and nothing more
// reaches either line once dlclose has returned.
TEST(Unload, StreamsAndMotionEndWithTheLibrary) {
  lenssim::Simulator lenses[2];
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    LoadedLibrary library;
    ASSERT_NO_FATAL_FAILURE(library.Load());
    decltype(&kelvaro_open) open = nullptr;
    decltype(&kelvaro_stream_start) stream = nullptr;
    decltype(&kelvaro_move_together) move = nullptr;
    decltype(&kelvaro_jog) jog = nullptr;
    ASSERT_NO_FATAL_FAILURE(library.Find(open, "kelvaro_open"));
    ASSERT_NO_FATAL_FAILURE(library.Find(stream, "kelvaro_stream_start"));
    ASSERT_NO_FATAL_FAILURE(library.Find(move, "kelvaro_move_together"));
    ASSERT_NO_FATAL_FAILURE(library.Find(jog, "kelvaro_jog"));
    const int targets[3] = {4000, 4000, -1};
    for (lenssim::Simulator& lens : lenses) {
      const kelvaro_options watch{KELVARO_FRAMING_FRAME, cycle % 2, 0};
      kelvaro_lens* handle = nullptr;
      ASSERT_EQ(open(lens.DevicePath().c_str(), &watch, &handle), KELVARO_OK);
      ASSERT_EQ(stream(handle, 7, cycle == 0 ? 0 : 200), KELVARO_OK);
      ASSERT_EQ(move(handle, targets, 5000, KELVARO_EASE_LINEAR), KELVARO_OK);
      ASSERT_EQ(jog(handle, KELVARO_FOCUS, -0.1, 60000), KELVARO_OK);
    }
    std::this_thread::sleep_for(milliseconds(100 * cycle + 50));
    ASSERT_NO_FATAL_FAILURE(library.Unload());
    const std::size_t frames[2] = {lenses[0].Received().size(), lenses[1].Received().size()};
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(lenses[0].Received().size(), frames[0]);
    EXPECT_EQ(lenses[1].Received().size(), frames[1]);
  }
}

TEST(Unload, NoCheckRunsAfterTheLibraryIsUnloaded) {
  lenssim::Simulator lens;
  LoadedLibrary library;
  ASSERT_NO_FATAL_FAILURE(library.Load());
  ASSERT_EQ(library.initialise(), KELVARO_OK);
  ASSERT_EQ(library.initialise(), KELVARO_OK);
  ASSERT_EQ(library.open_port(lens.DevicePath().c_str()), KELVARO_OK);
  ASSERT_TRUE(library.WaitConnected(3000));
  ASSERT_NO_FATAL_FAILURE(library.Unload());  // a check now would run unmapped code

  const std::size_t frames = lens.Received().size();
  std::this_thread::sleep_for(milliseconds(2200));
  EXPECT_EQ(lens.Received().size(), frames);

  // The library's fork handlers left with it: a fork now must not call into unmapped code.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The host program in a process of its own, told to finish through its standard input.
class Host {
 public:
  Host(const std::string& device, const char* mode) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[0], STDIN_FILENO);
    const char* argv[] = {KELVARO_HOST_PATH, device.c_str(), mode, nullptr};
    char** arguments = const_cast<char**>(argv);
    if (posix_spawn(&pid_, KELVARO_HOST_PATH, &actions, nullptr, arguments, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[0]);
    finish_ = pipe_ends[1];
  }

  ~Host() {
    if (finish_ >= 0) close(finish_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Running() const { return pid_ > 0; }
  void Stop() { kill(pid_, SIGSTOP); }
  void Continue() { kill(pid_, SIGCONT); }

  // Tells the host to return from main and waits up to timeout_ms for the process to end.
  // Returns its wait status, or -1 if it did not end in time (it is then killed).
  int Finish(int timeout_ms) {
    const char byte = 'q';
    if (write(finish_, &byte, 1) != 1) return -1;
    const auto until = Clock::now() + milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= until) return -1;
      std::this_thread::sleep_for(milliseconds(5));
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int finish_ = -1;
};

void ExpectPromptExit(Host& host) {
  const auto start = Clock::now();
  const int status = host.Finish(6000);
  ASSERT_NE(status, -1) << "the host did not exit within 6 s";
  EXPECT_LT(MillisecondsSince(start), 3000);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Exit, ProcessExitsPromptlyWhileACheckWaitsForItsReply) {
  lenssim::Simulator lens;
  lens.SetFault(0x01, Fault::Silent());
  Host host(lens.DevicePath(), "quiet");
  ASSERT_TRUE(host.Running());
  ASSERT_TRUE(WaitForFrame(lens, kHandshakeFrame, 1, 4000));  // the check now reads for 500 ms
  ExpectPromptExit(host);
}

TEST(Exit, ProcessExitsPromptlyWhileAnotherThreadIsInAHostCall) {
  lenssim::Simulator lens;
  lens.SetFault(0x01, Fault::Silent());
  lens.SetFault(0x30, Fault::Silent());
  Host host(lens.DevicePath(), "busy");
  ASSERT_TRUE(host.Running());
  ASSERT_TRUE(WaitForFrame(lens, kHandshakeFrame, 1, 4000));
  ASSERT_TRUE(WaitForFrame(lens, kIrisQuery, 3, 4000));  // host calls go on
  ExpectPromptExit(host);
}

TEST(Exit, ProcessExitsEvenWhenAHostCallNeverLetsGoOfTheLibrary) {
  lenssim::Simulator lens;
  lens.SetFault(0x01, Fault::Silent());
  lens.SetFault(0x30, Fault::Silent());
  Host host(lens.DevicePath(), "signal");
  ASSERT_TRUE(host.Running());
  ASSERT_TRUE(WaitForFrame(lens, kHandshakeFrame, 1, 4000));
  // Unloading gives up on the lock after a few seconds and leaves the port to the system.
  const int status = host.Finish(8000);
  ASSERT_NE(status, -1) << "the host did not exit within 8 s";
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Schedule, ChecksMissedWhileTheHostWasStoppedRunOnceNotInABurst) {
  lenssim::Simulator lens;
  Host host(lens.DevicePath(), "quiet");
  ASSERT_TRUE(host.Running());
  ASSERT_TRUE(WaitForFrame(lens, kHostModeZero, 1, 4000));
  ASSERT_TRUE(WaitForFrame(lens, kZoomQuery, 1, 3000));

  host.Stop();  // the monotonic clock runs on: about four checks fall due meanwhile
  std::this_thread::sleep_for(milliseconds(3600));
  lens.ClearReceived();
  host.Continue();
  std::this_thread::sleep_for(milliseconds(900));

  // The late check once, and at most the next one on the old beat.
  const std::size_t checks = ChecksSeen(lens);
  EXPECT_GE(checks, 1u);
  EXPECT_LE(checks, 2u);
  ExpectPromptExit(host);
}

}  // namespace
}  // namespace kelvaro_test
