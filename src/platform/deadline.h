// A point in time a fixed number of milliseconds from now, on the monotonic clock, so a
// change of the wall clock never stretches or cuts a serial time-out.
#pragma once

#include <chrono>

namespace kelvaro::platform {

// The clock every time-out is counted on: the system's monotonic clock (clock_steady.cpp),
// or, in the build that runs the library against scripted bytes, a fake one that the
// script moves on (serial_memory.cpp).
struct MonotonicClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;
  static time_point now();
};

class Deadline {
 public:
  using Clock = MonotonicClock;

  explicit Deadline(int milliseconds) : at_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}

  // Whole milliseconds left, rounded up so a wait never wakes just short of the deadline;
  // 0 once it has passed.
  int RemainingMs() const {
    const auto left = at_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }

  bool Expired() const { return Clock::now() >= at_; }

  // The sooner of two deadlines.
  static const Deadline& Sooner(const Deadline& a, const Deadline& b) { return a.at_ <= b.at_ ? a : b; }

 private:
  Clock::time_point at_;
};

}  // namespace kelvaro::platform
