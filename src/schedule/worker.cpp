#include "schedule/worker.h"

#include <algorithm>
#include <chrono>

namespace kelvaro {

using platform::MonotonicClock;

bool Worker::Start(platform::TicketLock& lock) {
  lock_ = &lock;
  job_count_ = 0;
  timed_ = -1;
  woken_ = false;
  timed_running_ = false;
  stop_.store(false);
  return thread_.Start(Run, this);
}

bool Worker::Add(Job job, void* context, int period_ms) {
  monitor_.Enter();
  const bool accepted = thread_.Running() && !stop_.load() && job_count_ < kMaxJobs;
  if (accepted) {
    const auto period = std::chrono::duration_cast<MonotonicClock::duration>(std::chrono::milliseconds(period_ms));
    jobs_[job_count_++] = Entry{job, nullptr, context, period, MonotonicClock::now() + period};
    monitor_.WakeAll();
  }
  monitor_.Leave();
  return accepted;
}

bool Worker::AddTimed(TimedJob job, void* context) {
  monitor_.Enter();
  const bool accepted = thread_.Running() && !stop_.load() && job_count_ < kMaxJobs && timed_ < 0;
  if (accepted) {
    timed_ = job_count_;
    jobs_[job_count_++] = Entry{nullptr, job, context, {}, TimePoint::max()};
  }
  monitor_.Leave();
  return accepted;
}

void Worker::Wake() {
  monitor_.Enter();
  if (timed_ >= 0) {
    jobs_[timed_].next = MonotonicClock::now();
    woken_ = timed_running_;
    monitor_.WakeAll();
  }
  monitor_.Leave();
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
  timed_ = -1;
}

void Worker::ForkChild() {
  thread_.Forget();
  job_count_ = 0;
  timed_ = -1;
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
      // To the microsecond (a stream's rounds keep a fine grid), at most a minute at a time:
      // nothing is due at TimePoint::max().
      const auto wait = std::chrono::ceil<std::chrono::microseconds>(
          std::min<MonotonicClock::duration>(soonest->next - now, std::chrono::minutes(1)));
      worker.monitor_.WaitMicroseconds(wait.count());
      continue;  // woken early by a new job, a Wake or a stop, or on time: look again
    }
    const Entry due = *soonest;
    if (due.timed != nullptr) {
      soonest->next = TimePoint::max();  // until the job says, or a Wake while it runs
      worker.woken_ = false;
      worker.timed_running_ = true;
    } else {
      // Counted from when the run was due, skipping the periods it missed.
      while (soonest->next <= now) soonest->next += soonest->period;
    }
    worker.monitor_.Leave();
    TimePoint next = TimePoint::max();
    if (worker.lock_->LockUnless(&worker.stop_, -1)) {
      if (!worker.stop_.load()) {
        if (due.timed != nullptr) {
          next = due.timed(due.context);
        } else {
          due.job(due.context);
        }
      }
      worker.lock_->Unlock();
    }
    worker.monitor_.Enter();
    if (due.timed != nullptr) {
      worker.timed_running_ = false;
      if (!worker.woken_) soonest->next = next;
    }
  }
  worker.monitor_.Leave();
}

}  // namespace kelvaro
