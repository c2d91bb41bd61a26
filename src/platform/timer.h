// The once-a-second timer and the library lock it shares with host calls.
// One implementation file per platform; nothing here knows the lens.
#pragma once

#include <atomic>

#include "platform/lock.h"

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

// A once-a-second timer on a library thread of its own, for one watched lens: it needs no
// message loop, and a lens that waits out its time-outs delays no other. Started when the
// lens opens, stopped when it closes. The thread creation is the only allocation, so it
// happens in Start.
class CheckThread {
 public:
  using Tick = void (*)(void* context);

  CheckThread() = default;
  CheckThread(const CheckThread&) = delete;
  CheckThread& operator=(const CheckThread&) = delete;

  // Starts the thread; the first tick comes one period from now. False if refused.
  bool Start(Tick tick, void* context);
  // No tick starts after this. A tick in flight must end promptly once Stopping() is true:
  // it may finish its exchange, but must not wait for anything else for ever.
  void RequestStop();
  const std::atomic<bool>& Stopping() const { return stop_; }
  // Waits for the thread to end (after RequestStop). Not from within a tick.
  void Join();

 private:
  void Run();

  Tick tick_ = nullptr;
  void* context_ = nullptr;
  std::atomic<bool> stop_{false};
  bool running_ = false;
  Monitor sleep_;  // the wait between ticks, cut short by RequestStop
  alignas(8) unsigned char native_[16];  // the platform's thread handle
};

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
