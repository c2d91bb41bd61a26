#include "platform/clock.h"
#include "platform/deadline.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace kelvaro::platform {

#ifdef _WIN32
namespace {

// The performance counter as nanoseconds, whole seconds and the rest apart so that nothing
// overflows. (mingw's steady_clock in the DLL's thread model reads the wall clock, which a
// time-out must never follow.)
long long CounterNanoseconds() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return count.QuadPart / frequency.QuadPart * 1000000000LL +
         count.QuadPart % frequency.QuadPart * 1000000000LL / frequency.QuadPart;
}

}  // namespace

MonotonicClock::time_point MonotonicClock::now() { return time_point(duration(CounterNanoseconds())); }

double ClockSeconds() { return static_cast<double>(CounterNanoseconds()) * 1e-9; }
#else
MonotonicClock::time_point MonotonicClock::now() {
  return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

double ClockSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
#endif

}  // namespace kelvaro::platform
