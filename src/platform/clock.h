// The clock of the time stamps hosts see (kelvaro_clock): seconds, on Linux CLOCK_MONOTONIC
// (the clock of Python's time.monotonic()), on Windows QueryPerformanceCounter, so that a
// host can compare them with its own readings of the same clock.
#pragma once

namespace kelvaro::platform {

double ClockSeconds();

}  // namespace kelvaro::platform
