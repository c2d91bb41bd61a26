// The time stamp of a line of the simulator's reply log: seconds on the monotonic clock the
// library stamps its reads with (CLOCK_MONOTONIC; on Windows the performance counter), so a
// benchmark can set the two side by side. Read here, not taken from the library.
#pragma once

#include <string>

namespace lenssim {

// Now, as seconds with nine decimals: "12345.678901234".
std::string MonotonicStamp();

}  // namespace lenssim
