// How the simulator program comes to its end: Ctrl-C, SIGTERM or SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break or the console closing on Windows; or RequestStop (the control channel's quit).
#pragma once

namespace lenssim {

// Before any thread starts: on POSIX the threads inherit a mask that leaves the stop signals
// to WaitForStop.
void PrepareStop();
// Returns once a stop came: the signal's number, or 0 for a console event or RequestStop.
int WaitForStop();
void RequestStop();

}  // namespace lenssim
