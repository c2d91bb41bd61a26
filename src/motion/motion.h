// A lens's timed moves and jogs: what each axis is commanded to, and the steps the lens's
// worker sends every 20 ms. The protocol has only absolute moves, so motion is a stream of
// them. Fixed size, no heap; everything with the lens's lock held, but Moving().
#pragma once

#include <atomic>
#include <chrono>

#include "platform/deadline.h"

namespace kelvaro {

struct LinkState;

class Motion {
 public:
  using TimePoint = platform::MonotonicClock::time_point;
  static constexpr auto kStepPeriod = std::chrono::milliseconds(20);

  // Host calls, as kelvaro_move_together, kelvaro_jog and kelvaro_stop (arguments checked).
  int MoveTogether(LinkState& link, const int targets[3], unsigned duration_ms, int easing);
  int Jog(LinkState& link, int axis, double speed, unsigned deadman_ms);
  int Stop(LinkState& link);
  // At close: every motion ends, nothing more is sent.
  void End();
  // Read without the lens's lock.
  bool Moving() const { return moving_.load(); }
  // When the next step or end is due (TimePoint::max() with nothing moving).
  TimePoint NextDue() const;
  // The worker: the steps and ends due now.
  void Step(LinkState& link);

 private:
  struct Axis {
    enum Kind { kIdle, kTimed, kJog } kind = kIdle;
    int sent = -1;  // the last position commanded successfully
    // A timed move.
    int start = 0;
    int target = 0;
    int easing = 0;
    TimePoint t0{};
    TimePoint::duration duration{};
    // A jog: a fractional position, so that slow speeds still advance.
    double commanded = 0.0;
    double speed = 0.0;  // positions a second
    TimePoint last_step{};
    TimePoint deadman{};
  };

  int Commanded(const Axis& axis) const;
  void StartCadence(TimePoint now);  // when the first axis starts moving
  void Send(LinkState& link, int axis, int position);
  void Update();  // moving_

  Axis axes_[3];
  TimePoint next_step_{};
  std::atomic<bool> moving_{false};
};

}  // namespace kelvaro
