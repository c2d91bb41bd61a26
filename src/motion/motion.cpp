#include "motion/motion.h"

#include <algorithm>
#include <cmath>

#include "Kelvaro32.h"
#include "commands/positions.h"
#include "core/link_state.h"
#include "motion/path.h"

namespace kelvaro {
namespace {

using platform::MonotonicClock;

constexpr int kLastPosition = 4095;

double Seconds(MonotonicClock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int Motion::Commanded(const Axis& axis) const {
  return axis.kind == Axis::kJog ? static_cast<int>(std::lround(axis.commanded)) : axis.sent;
}

void Motion::StartCadence(TimePoint now) {
  if (!Moving()) next_step_ = now + kStepPeriod;
}

void Motion::Update() {
  bool any = false;
  for (const Axis& axis : axes_) any = any || axis.kind != Axis::kIdle;
  moving_.store(any);
}

void Motion::Send(LinkState& link, int axis, int position) {
  // A step that fails is sent again at the next one; the motion goes on.
  if (MovePosition(link, static_cast<Motor>(axis), static_cast<unsigned short>(position)) == KELVARO_OK) {
    axes_[axis].sent = position;
  }
}

int Motion::MoveTogether(LinkState& link, const int targets[3], unsigned duration_ms, int easing) {
  if (duration_ms == 0) {
    int first_failure = KELVARO_OK;
    for (int axis = 0; axis < 3; ++axis) {
      if (targets[axis] < 0) continue;
      axes_[axis].kind = Axis::kIdle;
      const int code = MovePosition(link, static_cast<Motor>(axis), static_cast<unsigned short>(targets[axis]));
      if (code == KELVARO_OK) axes_[axis].sent = targets[axis];
      if (first_failure == KELVARO_OK) first_failure = code;
    }
    Update();
    return first_failure;
  }
  unsigned short start[3] = {};
  for (int axis = 0; axis < 3; ++axis) {
    if (targets[axis] < 0) continue;
    const int code = ReadPosition(link, static_cast<Motor>(axis), &start[axis]);
    if (code != KELVARO_OK) return code;  // nothing moves, running motion untouched
  }
  const auto now = MonotonicClock::now();  // the path's time 0
  StartCadence(now);
  for (int axis = 0; axis < 3; ++axis) {
    if (targets[axis] < 0) continue;
    Axis& a = axes_[axis];
    a.kind = Axis::kTimed;
    a.sent = a.start = start[axis];
    a.target = targets[axis];
    a.easing = easing;
    a.t0 = now;
    a.duration = std::chrono::milliseconds(duration_ms);
  }
  Update();
  return KELVARO_OK;
}

int Motion::Jog(LinkState& link, int axis, double speed, unsigned deadman_ms) {
  Axis& a = axes_[axis];
  const auto now = MonotonicClock::now();
  if (a.kind == Axis::kJog && now >= a.deadman) {
    a.kind = Axis::kIdle;  // its deadman passed
    Update();              // ended even if the new jog's read fails
  }
  if (speed == 0.0) {
    a.kind = Axis::kIdle;
    Update();
    return KELVARO_OK;
  }
  if (a.kind == Axis::kIdle) {
    unsigned short position = 0;
    const int code = ReadPosition(link, static_cast<Motor>(axis), &position);
    if (code != KELVARO_OK) return code;
    StartCadence(now);
    a.sent = position;
    a.commanded = position;
    a.last_step = now;
  } else if (a.kind == Axis::kTimed) {
    a.commanded = a.sent;  // on from where the path has taken it
    a.last_step = now;
  }
  a.kind = Axis::kJog;
  a.speed = speed * kLastPosition;
  a.deadman = now + std::chrono::milliseconds(deadman_ms);
  Update();
  return KELVARO_OK;
}

int Motion::Stop(LinkState& link) {
  bool was_moving[3] = {};
  for (int axis = 0; axis < 3; ++axis) {
    was_moving[axis] = axes_[axis].kind != Axis::kIdle;
    axes_[axis].kind = Axis::kIdle;
  }
  Update();
  // A motor slower than the path lags behind it: it stops where it is, not where it was sent.
  int first_failure = KELVARO_OK;
  for (int axis = 0; axis < 3; ++axis) {
    if (!was_moving[axis]) continue;
    unsigned short position = 0;
    int code = ReadPosition(link, static_cast<Motor>(axis), &position);
    if (code == KELVARO_OK) code = MovePosition(link, static_cast<Motor>(axis), position);
    if (first_failure == KELVARO_OK) first_failure = code;
  }
  return first_failure;
}

void Motion::End() {
  for (Axis& axis : axes_) axis.kind = Axis::kIdle;
  Update();
}

Motion::TimePoint Motion::NextDue() const {
  TimePoint due = TimePoint::max();
  for (const Axis& a : axes_) {
    if (a.kind == Axis::kTimed) due = std::min({due, next_step_, a.t0 + a.duration});
    if (a.kind == Axis::kJog) due = std::min({due, next_step_, a.deadman});
  }
  return due;
}

void Motion::Step(LinkState& link) {
  const auto now = MonotonicClock::now();
  const bool cadence = now >= next_step_;
  for (int axis = 0; axis < 3; ++axis) {
    Axis& a = axes_[axis];
    if (a.kind == Axis::kTimed) {
      if (now >= a.t0 + a.duration) {
        a.kind = Axis::kIdle;
        Send(link, axis, a.target);  // the last step: exactly the target, even if already sent
      } else if (cadence) {
        const int position = PathPosition(a.start, a.target, a.easing, Seconds(now - a.t0) / Seconds(a.duration));
        if (position != a.sent) Send(link, axis, position);
      }
    } else if (a.kind == Axis::kJog) {
      if (now >= a.deadman) {
        a.kind = Axis::kIdle;  // no further step
        continue;
      }
      if (!cadence) continue;
      a.commanded = std::clamp(a.commanded + a.speed * Seconds(now - a.last_step), 0.0, double{kLastPosition});
      a.last_step = now;
      const int position = Commanded(a);
      if (position != a.sent) Send(link, axis, position);
      const bool at_end = (a.speed > 0 && a.commanded >= kLastPosition) || (a.speed < 0 && a.commanded <= 0.0);
      if (at_end && a.sent == position) a.kind = Axis::kIdle;
    }
  }
  // A late step does not catch up with the ones it missed.
  while (cadence && next_step_ <= now) next_step_ += kStepPeriod;
  Update();
}

}  // namespace kelvaro
