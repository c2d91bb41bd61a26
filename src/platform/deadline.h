// A point in time a fixed number of milliseconds from now, on the monotonic clock, so a
// change of the wall clock never stretches or cuts a serial time-out.
#pragma once

#include <chrono>

namespace kelvaro::platform {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

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
