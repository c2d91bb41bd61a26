#include "schedule/worker.h"

#include <chrono>

namespace kelvaro {

using platform::MonotonicClock;

bool Worker::Start(platform::TicketLock& lock) {
  lock_ = &lock;
  job_count_ = 0;
  stop_.store(false);
  return thread_.Start(Run, this);
}

bool Worker::Add(Job job, void* context, int period_ms) {
  monitor_.Enter();
  const bool accepted = thread_.Running() && !stop_.load() && job_count_ < kMaxJobs;
  if (accepted) {
    const auto period = std::chrono::duration_cast<MonotonicClock::duration>(std::chrono::milliseconds(period_ms));
    jobs_[job_count_++] = Entry{job, context, period, MonotonicClock::now() + period};
    monitor_.WakeAll();
  }
  monitor_.Leave();
  return accepted;
}

void Worker::RequestStop() {
  monitor_.Enter();
  stop_.store(true);
  monitor_.WakeAll();
  monitor_.Leave();
}

void Worker::Join() {
  thread_.Join();
  job_count_ = 0;
}

void Worker::ForkChild() {
  thread_.Forget();
  job_count_ = 0;
  monitor_.Reinitialise();
}

void Worker::Run(void* self) {
  Worker& worker = *static_cast<Worker*>(self);
  worker.monitor_.Enter();
  while (!worker.stop_.load()) {
    if (worker.job_count_ == 0) {
      worker.monitor_.Wait(-1);
      continue;
    }
    Entry* soonest = &worker.jobs_[0];
    for (int i = 1; i < worker.job_count_; ++i) {
      if (worker.jobs_[i].next < soonest->next) soonest = &worker.jobs_[i];
    }
    const auto now = MonotonicClock::now();
    if (now < soonest->next) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(soonest->next - now);
      worker.monitor_.Wait(static_cast<int>(wait.count()));
      continue;  // woken early by a new job or a stop, or on time: look again
    }
    // Counted from when the run was due, skipping the periods it missed.
    while (soonest->next <= now) soonest->next += soonest->period;
    const Entry due = *soonest;
    worker.monitor_.Leave();
    if (worker.lock_->LockUnless(&worker.stop_, -1)) {
      if (!worker.stop_.load()) due.job(due.context);
      worker.lock_->Unlock();
    }
    worker.monitor_.Enter();
  }
  worker.monitor_.Leave();
}

}  // namespace kelvaro
