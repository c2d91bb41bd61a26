#include "fine_sleep.h"

#ifdef _WIN32
#include <thread>
#else
#include <time.h>

#include <cerrno>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace lenssim {

void SleepPrecisely() {
#ifdef __linux__
  // The default slack of 50 us is a fifth of a byte at 38400 baud.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void SleepUntil(std::chrono::steady_clock::time_point at) {
#ifdef _WIN32
  // Sleep() ends on the timer tick, later than the waits here last: yield until then.
  while (std::chrono::steady_clock::now() < at) std::this_thread::yield();
#else
  // steady_clock counts CLOCK_MONOTONIC; an absolute wake-up does not drift when a sleep
  // starts late.
  const auto since = at.time_since_epoch();
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec until{};
  until.tv_sec = static_cast<time_t>(whole.count());
  until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - whole).count());
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
#endif
}

}  // namespace lenssim
