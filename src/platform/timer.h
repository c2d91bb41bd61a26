// The once-a-second timer and the library lock it shares with host calls.
// One implementation file per platform; nothing here knows the lens.
#pragma once

namespace kelvaro::platform {

using TickCallback = void (*)();

inline constexpr unsigned kTimerPeriodMs = 1000;

// Starts one more independent periodic timer whose first tick comes one period from now.
// Every call adds a timer; none is stopped until the library unloads. False if refused.
// The tick is called with the library lock held. A tick that comes late runs once and
// the schedule goes on from there: late ticks never arrive in a burst.
bool StartPeriodicTimer(TickCallback tick);

// Stops every timer and waits for a tick in flight to finish. Each platform calls it when
// the library unloads; it must not deadlock against a host call that holds the lock.
void StopAllTimers();

// The one library-wide lock: every exported call and every tick hold it, so a tick never
// interleaves with a host call. Recursive use is not needed: internal calls never re-enter.
class LibraryLock {
 public:
  LibraryLock();
  // Waits at most `wait_ms` for the lock, for work at unload that must not hang the exit
  // when the lock is never let go (a thread that died in a call, or exit() called from a
  // signal handler in the middle of one). Held() says whether it was taken.
  explicit LibraryLock(int wait_ms);
  ~LibraryLock();
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;

  bool Held() const { return held_; }

 private:
  bool held_ = true;
};

}  // namespace kelvaro::platform
