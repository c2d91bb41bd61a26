// What the library learns from, and asks of, the system's loader.
#pragma once

namespace kelvaro::platform {

// True once the process has begun to exit on Windows: the other threads are gone, possibly
// holding locks, and the system closes every handle itself, so clean-up at unload must not
// wait for anything. On Linux the other threads still run during exit and may be waited for.
#ifdef _WIN32
bool ProcessExiting();
#else
inline bool ProcessExiting() { return false; }
#endif

// Registers what runs around fork() for this library image (POSIX; Windows has no fork).
void OnFork(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace kelvaro::platform
