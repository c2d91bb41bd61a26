// The one scheduler of a lens's periodic work: a worker thread per lens, with a deadline per
// job. Every job runs with the lens's lock held, so it never interleaves with a host call on
// that lens, and a lens that waits out its time-outs delays its own jobs only.
#pragma once

#include <atomic>

#include "platform/deadline.h"
#include "platform/lock.h"
#include "platform/thread.h"

namespace kelvaro {

class Worker {
 public:
  using Job = void (*)(void* context);
  // A job that says when it is next due (TimePoint::max(): not until woken).
  using TimePoint = platform::MonotonicClock::time_point;
  using TimedJob = TimePoint (*)(void* context);

  Worker() = default;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the thread, whose jobs take `lock`. The thread is the only allocation. False if
  // the system refuses.
  bool Start(platform::TicketLock& lock);
  // Adds a job that runs every `period_ms`, the first time one period from now. A job that
  // comes late runs once and keeps its phase: late runs never come in a burst. False when
  // the worker is not running or its table is full.
  bool Add(Job job, void* context, int period_ms);
  // Adds the one job that picks its own times (a lens's streams and motion), not due until
  // woken. False when the worker is not running or its table is full.
  bool AddTimed(TimedJob job, void* context);
  // The timed job is due now, even while it runs: it runs (again) as soon as it can.
  void Wake();
  // No job starts after this; one waiting for the lock gives up once the lock's waiters
  // are woken. A job in flight finishes (its exchange is bounded by the time-outs).
  void RequestStop();
  const std::atomic<bool>& Stopping() const { return stop_; }
  // Waits for the thread (after RequestStop); the jobs are forgotten. Not from within a job.
  void Join();
  bool Running() const { return thread_.Running(); }
  // In a child made by fork(): no thread, no jobs.
  void ForkChild();

 private:
  static void Run(void* self);

  static constexpr int kMaxJobs = 64;
  struct Entry {
    Job job;
    TimedJob timed;
    void* context;
    platform::MonotonicClock::duration period;
    TimePoint next;
  };

  platform::TicketLock* lock_ = nullptr;
  platform::Thread thread_;
  platform::Monitor monitor_;  // guards the table and the sleep between jobs
  Entry jobs_[kMaxJobs] = {};
  int job_count_ = 0;
  int timed_ = -1;           // the timed job's entry
  bool woken_ = false;       // Wake came while the timed job ran
  bool timed_running_ = false;
  std::atomic<bool> stop_{false};
};

}  // namespace kelvaro
