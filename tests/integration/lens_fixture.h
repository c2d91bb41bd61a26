// Drives the library through its exported functions against a simulated lens on a real
// pseudo-terminal. Under CTest every test runs in a process of its own, so the library's
// process-wide state starts fresh for each one.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Kelvaro32.h"
#include "lens_sim.h"

namespace kelvaro_test {

using lenssim::Bytes;
using lenssim::Fault;

inline const Bytes kHandshake{0x00, 0x01, 0xFF};

// Initialises the library once per process: every call would add one more background check.
inline void InitialiseOnce() {
  static const int result = InitializeLensControl();
  ASSERT_EQ(result, KELVARO_OK);
}

// An initialised library with the simulated lens's port open.
//
// The background check runs once a second from initialisation on. Left alone it would
// connect, put the lens in host mode and read the zoom, changing the last reply value
// between a test's calls. So this lens ignores the handshake unless a test says otherwise:
// the check then costs one unanswered 00 01 FF a second and changes no value a test sees.
class LensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitialiseOnce();
    lens.SetFault(0x01, Fault::Silent());
    ASSERT_EQ(OpenComPort(lens.DevicePath().c_str()), KELVARO_OK);
  }

  void TearDown() override { CloseComPort(); }

  // Frames the host sent, without the background check's handshakes.
  std::vector<Bytes> HostFrames() {
    std::vector<Bytes> frames;
    for (Bytes& frame : lens.Received()) {
      if (frame != kHandshake) frames.push_back(std::move(frame));
    }
    return frames;
  }

  // The lens answers the handshake again, for tests of the handshake itself
  // (a fault that applies no times is removed).
  void AnswerHandshake() { lens.SetFault(0x01, Fault::Silent(0)); }

  lenssim::Simulator lens;
};

// Milliseconds a call takes.
template <typename Call>
long long MillisecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

// Descriptors the process has open, to show that nothing leaked.
inline int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

inline std::string ResultText(int code) {
  char text[64] = "";
  GetResultString(code, text);
  return text;
}

}  // namespace kelvaro_test
