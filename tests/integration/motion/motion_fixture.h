// A simulated lens opened through the handle interface, and what the lens was asked to do.
#pragma once

#include <chrono>
#include <thread>
#include <vector>

#include "kelvaro.h"
#include "lens_fixture.h"

namespace kelvaro_test {

class Motion : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kelvaro_open(lens.DevicePath().c_str(), nullptr, &handle), KELVARO_OK); }
  void TearDown() override {
    if (handle != nullptr) kelvaro_close(handle);
  }

  void Hold(int iris, int zoom, int focus, int motor_speed = 0) {
    lenssim::LensState state;
    state.iris = static_cast<std::uint16_t>(iris << 4);
    state.zoom = static_cast<std::uint16_t>(zoom << 4);
    state.focus = static_cast<std::uint16_t>(focus << 4);
    state.motor_speed = motor_speed;
    lens.SetState(state);
  }

  // The positions the lens was sent for `axis`, in order.
  std::vector<int> MovesOf(int axis) {
    std::vector<int> positions;
    for (const Bytes& frame : lens.Received()) {
      if (frame.size() == 5 && frame[1] == 0x20 + axis) positions.push_back(((frame[2] << 8) | frame[3]) >> 4);
    }
    return positions;
  }

  // Waits, within a bound that marks a hang, until the lens stops moving.
  bool Settles(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (kelvaro_moving(handle) != 0) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  lenssim::Simulator lens;
  kelvaro_lens* handle = nullptr;
};

constexpr unsigned kZoomBit = 1u << KELVARO_ZOOM;
constexpr unsigned kFocusBit = 1u << KELVARO_FOCUS;
constexpr unsigned kIrisBit = 1u << KELVARO_IRIS;

}  // namespace kelvaro_test
