// The schedule of a lens's check thread, the same on every platform; the thread itself is
// started and joined by the platform's timer file.
#include "platform/deadline.h"
#include "platform/timer.h"

namespace kelvaro::platform {

void CheckThread::Run() {
  sleep_.Enter();
  Deadline next(static_cast<int>(kTimerPeriodMs));
  while (!stop_.load()) {
    if (!next.Expired()) {
      sleep_.Wait(next.RemainingMs());
      continue;
    }
    // Counted from the start of this tick: a late tick runs once, never a burst.
    next = Deadline(static_cast<int>(kTimerPeriodMs));
    sleep_.Leave();
    tick_(context_);
    sleep_.Enter();
  }
  sleep_.Leave();
}

void CheckThread::RequestStop() {
  sleep_.Enter();
  stop_.store(true);
  sleep_.WakeAll();
  sleep_.Leave();
}

}  // namespace kelvaro::platform
