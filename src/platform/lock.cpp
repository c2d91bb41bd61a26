// The lens lock: a ticket lock on the platform's monitor. Each taker draws a ticket and holds
// the lock while its ticket is served.
#include "platform/lock.h"

#include "platform/deadline.h"

namespace kelvaro::platform {

void LensLock::Lock() { LockUnless(nullptr, -1); }

bool LensLock::LockUnless(const std::atomic<bool>* cancel, int wait_ms) {
  const Deadline until(wait_ms < 0 ? 0 : wait_ms);
  monitor_.Enter();
  const unsigned long ticket = next_ticket_++;
  for (;;) {
    if (now_serving_ == ticket) {
      monitor_.Leave();
      return true;
    }
    const bool cancelled = cancel != nullptr && cancel->load();
    if (cancelled || (wait_ms >= 0 && until.Expired())) break;
    monitor_.Wait(wait_ms < 0 ? -1 : until.RemainingMs());
  }
  for (int i = 0; i < 2; ++i) {
    if (!abandoned_used_[i]) {
      abandoned_used_[i] = true;
      abandoned_[i] = ticket;
      break;
    }
  }
  monitor_.Leave();
  return false;
}

void LensLock::Unlock() {
  monitor_.Enter();
  ServeNext();
  monitor_.Leave();
}

void LensLock::WakeWaiters() {
  monitor_.Enter();
  monitor_.WakeAll();
  monitor_.Leave();
}

void LensLock::ServeNext() {
  ++now_serving_;
  for (bool skipped = true; skipped;) {
    skipped = false;
    for (int i = 0; i < 2; ++i) {
      if (abandoned_used_[i] && abandoned_[i] == now_serving_) {
        abandoned_used_[i] = false;
        ++now_serving_;
        skipped = true;
      }
    }
  }
  monitor_.WakeAll();
}

}  // namespace kelvaro::platform
