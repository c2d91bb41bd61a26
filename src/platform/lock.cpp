// The ticket lock on the platform's monitor. Each taker draws a ticket and holds the lock
// while its ticket is served.
#include "platform/lock.h"

#include "platform/deadline.h"

namespace kelvaro::platform {

void TicketLock::Lock() { LockUnless(nullptr, -1); }

bool TicketLock::LockUnless(const std::atomic<bool>* cancel, int wait_ms) {
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
    // A cancellable wait looks at its flag every so often on its own: it is then called off
    // even where nobody can safely wake it (see WakeWaiters).
    int wait = wait_ms < 0 ? -1 : until.RemainingMs();
    if (cancel != nullptr && (wait < 0 || wait > kCancelPollMs)) wait = kCancelPollMs;
    monitor_.Wait(wait);
  }
  for (int i = 0; i < kMaxAbandoned; ++i) {
    if (!abandoned_used_[i]) {
      abandoned_used_[i] = true;
      abandoned_[i] = ticket;
      break;
    }
  }
  monitor_.Leave();
  return false;
}

void TicketLock::Unlock() {
  monitor_.Enter();
  ServeNext();
  monitor_.Leave();
}

void TicketLock::WakeWaiters() {
  monitor_.Enter();
  monitor_.WakeAll();
  monitor_.Leave();
}

void TicketLock::ServeNext() {
  ++now_serving_;
  for (bool skipped = true; skipped;) {
    skipped = false;
    for (int i = 0; i < kMaxAbandoned; ++i) {
      if (abandoned_used_[i] && abandoned_[i] == now_serving_) {
        abandoned_used_[i] = false;
        ++now_serving_;
        skipped = true;
      }
    }
  }
  monitor_.WakeAll();
}

void TicketLock::ForkPrepare() {
  Lock();
  monitor_.Enter();
}

void TicketLock::ForkParent() {
  monitor_.Leave();
  Unlock();
}

void TicketLock::ForkChild() {
  next_ticket_ = now_serving_ = 0;
  for (bool& used : abandoned_used_) used = false;
  // The copy may still count waiters from threads the child does not have.
  monitor_.Reinitialise();
}

}  // namespace kelvaro::platform
