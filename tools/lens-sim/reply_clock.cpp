#include "reply_clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace lenssim {

namespace {

std::string Stamp(long long seconds, long long nanoseconds) {
  std::string fraction = std::to_string(nanoseconds);
  return std::to_string(seconds) + "." + std::string(9 - fraction.size(), '0') + fraction;
}

}  // namespace

std::string MonotonicStamp() {
#ifdef _WIN32
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  const long long per_second = frequency.QuadPart;
  return Stamp(count.QuadPart / per_second, (count.QuadPart % per_second) * 1000000000LL / per_second);
#else
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return Stamp(now.tv_sec, now.tv_nsec);
#endif
}

}  // namespace lenssim
