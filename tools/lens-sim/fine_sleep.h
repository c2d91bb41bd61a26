// Waiting for a moment to within tens of microseconds, for bytes paced at a baud rate. A
// poll's time-out counts whole milliseconds and may end a tick late, so the serving thread
// polls until kPollLateness before a deadline and sleeps out the rest here.
#pragma once

#include <chrono>

namespace lenssim {

// How late a poll with a millisecond time-out may end.
#ifdef _WIN32
constexpr std::chrono::milliseconds kPollLateness{16};  // the default timer tick
#else
constexpr std::chrono::milliseconds kPollLateness{1};
#endif

// Lets the calling thread's sleeps end on time (on Linux: no timer slack).
void SleepPrecisely();

// Returns at `at` or just after it; at once when it has passed.
void SleepUntil(std::chrono::steady_clock::time_point at);

}  // namespace lenssim
