// What the lens saw of the library's check: counting and awaiting request frames.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "lens_sim.h"

namespace kelvaro_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline const lenssim::Bytes kHandshakeFrame{0x00, 0x01, 0xFF};
inline const lenssim::Bytes kHostModeZero{0x01, 0x44, 0xF8, 0xC3};
inline const lenssim::Bytes kZoomQuery{0x00, 0x31, 0xCF};
inline const lenssim::Bytes kIrisQuery{0x00, 0x30, 0xD0};

inline std::size_t CountOf(const std::vector<lenssim::Bytes>& frames, const lenssim::Bytes& frame) {
  return static_cast<std::size_t>(std::count(frames.begin(), frames.end(), frame));
}

// Checks the lens has seen: handshakes while disconnected, zoom queries while connected.
inline std::size_t ChecksSeen(lenssim::Simulator& lens) {
  const std::vector<lenssim::Bytes> frames = lens.Received();
  return CountOf(frames, kHandshakeFrame) + CountOf(frames, kZoomQuery);
}

// Waits until the lens has received `count` copies of `frame`; false after timeout_ms.
inline bool WaitForFrame(lenssim::Simulator& lens, const lenssim::Bytes& frame, std::size_t count,
                         int timeout_ms) {
  const auto until = Clock::now() + milliseconds(timeout_ms);
  while (CountOf(lens.Received(), frame) < count) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// Polls `flag` (IsAutoConnected, however it was found) until it reads `value`.
template <typename Flag>
bool WaitForFlag(Flag&& flag, int value, int timeout_ms) {
  const auto until = Clock::now() + milliseconds(timeout_ms);
  while (flag() != value) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

}  // namespace kelvaro_test
