#include "platform/clock.h"
#include "platform/deadline.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace kelvaro::platform {

MonotonicClock::time_point MonotonicClock::now() {
  return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

double ClockSeconds() {
#ifdef _WIN32
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  // Whole seconds and the rest apart, so that a large count keeps its sub-microsecond digits.
  const long long whole = count.QuadPart / frequency.QuadPart;
  const long long rest = count.QuadPart % frequency.QuadPart;
  return static_cast<double>(whole) + static_cast<double>(rest) / static_cast<double>(frequency.QuadPart);
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

}  // namespace kelvaro::platform
