// The time stamp of a line of the simulator's reply log: seconds on the system's monotonic
// clock (CLOCK_MONOTONIC; on Windows the performance counter), which a benchmark on the same
// machine reads too. Read here: the simulator shares no code with the library.
#pragma once

#include <string>

namespace lenssim {

// Now, as seconds with nine decimals: "12345.678901234".
std::string MonotonicStamp();

}  // namespace lenssim
