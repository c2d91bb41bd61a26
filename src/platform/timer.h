// The flat functions' once-a-second tick on Windows: a windowless SetTimer timer, delivered
// as WM_TIMER through the message loop of the thread that started it, as hosts rely on.
// Windows coalesces WM_TIMER, so a late tick runs once. (On POSIX the lens's worker runs
// the same check; see schedule/worker.h.)
#pragma once

#ifdef _WIN32

namespace kelvaro::platform {

using TickCallback = void (*)();

inline constexpr unsigned kTimerPeriodMs = 1000;

// Starts one more independent timer whose first tick comes one period from now; the tick
// takes whatever lock it needs. Called with the flat functions' lock held, which guards the
// table of timers. False if refused (a full table, or SetTimer refused).
bool StartPeriodicTimer(TickCallback tick);

// Stops every timer. Windowless timers belong to the thread that started them: this runs on
// the host's library thread, the one that unloads the DLL, for KillTimer to find them.
void StopAllTimers();

}  // namespace kelvaro::platform

#endif
