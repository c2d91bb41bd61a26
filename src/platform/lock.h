// The lock of one lens: calls on that lens from any thread are served one at a time, in
// arrival order, so a host calling back to back starves neither its other threads nor the
// lens's check. Calls on different lenses never wait on each other.
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
  void WakeAll();

 private:
  alignas(16) unsigned char native_[96];
};

class LensLock {
 public:
  LensLock() = default;
  LensLock(const LensLock&) = delete;
  LensLock& operator=(const LensLock&) = delete;

  void Lock();
  // Waits for the lock until `cancel` (if given) turns true or `wait_ms` (if not negative)
  // has passed; true once the lock is held. For work that must not wait for ever on a lock
  // that is never let go: the check when its lens closes, the close at unload.
  bool LockUnless(const std::atomic<bool>* cancel, int wait_ms);
  void Unlock();
  // Makes waiters look at their cancel flag again, after it was set.
  void WakeWaiters();

 private:
  void ServeNext();  // with the monitor entered

  Monitor monitor_;
  unsigned long next_ticket_ = 0;
  unsigned long now_serving_ = 0;
  // Tickets given up while waiting, each skipped when its turn comes. Only the check and the
  // unload ever give up, so two entries do.
  bool abandoned_used_[2] = {false, false};
  unsigned long abandoned_[2] = {0, 0};
};

// Holds a lens lock for a scope.
class LensLockGuard {
 public:
  explicit LensLockGuard(LensLock& lock) : lock_(lock) { lock_.Lock(); }
  ~LensLockGuard() { lock_.Unlock(); }
  LensLockGuard(const LensLockGuard&) = delete;
  LensLockGuard& operator=(const LensLockGuard&) = delete;

 private:
  LensLock& lock_;
};

}  // namespace kelvaro::platform
