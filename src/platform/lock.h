// The one lock type of the library: a fair ticket lock. Calls on a lens from any thread are
// served one at a time, in arrival order, so a host calling back to back starves neither its
// other threads nor the lens's scheduled work. The flat functions' record has one (the
// library lock), and so does every lens of the handle interface.
#pragma once

#include <atomic>

namespace kelvaro::platform {

// A mutex with one condition, the platform's own (one implementation file per platform).
// Trivially destroyed: a thread may still be inside one when the process ends.
class Monitor {
 public:
  Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void Enter();
  void Leave();
  // With the monitor entered: sleeps until woken or `wait_ms` passes (negative: no limit).
  // May wake early; callers look at their condition again.
  void Wait(int wait_ms);
  // The same to the microsecond where the platform's timers allow (0 or more), for work
  // that runs on a schedule finer than a millisecond.
  void WaitMicroseconds(long long wait_us);
  void WakeAll();
  // In a child made by fork(): the parent's threads are gone, so the copy starts afresh.
  void Reinitialise();

 private:
  alignas(16) unsigned char native_[96];
};

class TicketLock {
 public:
  TicketLock() = default;
  TicketLock(const TicketLock&) = delete;
  TicketLock& operator=(const TicketLock&) = delete;

  void Lock();
  // Waits for the lock until `cancel` (if given) turns true or `wait_ms` (if not negative)
  // has passed; true once the lock is held. For work that must not wait for ever on a lock
  // that is never let go: scheduled work when its lens closes, the close at unload.
  bool LockUnless(const std::atomic<bool>* cancel, int wait_ms);
  void Unlock();
  // Makes waiters look at their cancel flag again, after it was set. Without it they do so
  // within kCancelPollMs: a thread interrupted inside the lock's wait (exit() from a signal
  // handler) would make this wait for it for ever, so the unload wakes nobody when it could
  // not take the lock.
  void WakeWaiters();
  static constexpr int kCancelPollMs = 100;

  // Around fork(): the parent holds the lock and its monitor across the fork, so the child's
  // copy is never caught halfway; the child starts with the lock free.
  void ForkPrepare();
  void ForkParent();
  void ForkChild();

 private:
  void ServeNext();  // with the monitor entered

  Monitor monitor_;
  unsigned long next_ticket_ = 0;
  unsigned long now_serving_ = 0;
  // Tickets given up while waiting, each skipped when its turn comes: scheduled work called
  // off by a close, and a bounded wait at unload.
  static constexpr int kMaxAbandoned = 4;
  bool abandoned_used_[kMaxAbandoned] = {};
  unsigned long abandoned_[kMaxAbandoned] = {};
};

}  // namespace kelvaro::platform
