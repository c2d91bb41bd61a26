// The once-a-second timer on POSIX: one thread of the library runs the schedules of every
// timer started, each tick under the library lock.
//
// The thread is created when the library is loaded and joined when it is unloaded (dlclose)
// or the process exits, so starting a timer later allocates nothing and no tick outlives
// the code it runs.
//
// The library lock is a ticket lock under g_mutex rather than a mutex of its own, for two
// reasons: it is served in arrival order, so neither a tick nor another caller is starved by
// a host thread calling back to back (a plain mutex lets the releasing thread take it again
// at once); and the unload can call off a waiting tick at once instead of waiting for the
// host call that holds the lock, which may be the very thread that is exiting (exit from a
// signal handler in the middle of a call).
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "platform/timer.h"

namespace kelvaro::platform {
namespace {

// Far more than any host asks for; a full table counts as a refused timer.
constexpr int kMaxTimers = 64;
constexpr long long kPeriodNs = static_cast<long long>(kTimerPeriodMs) * 1000000LL;

struct Schedule {
  TickCallback tick;
  timespec next;  // monotonic
};

// Guards everything below. Held only for moments, never while a tick or a host call runs.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_timer_wake;  // on the monotonic clock, so set up at load
pthread_cond_t g_library_free;  // the library lock was let go; monotonic, so set up at load
// The library lock: each taker draws a ticket and holds the lock while it is being served.
unsigned long g_next_ticket = 0;
unsigned long g_now_serving = 0;
// Tickets given up while waiting (a tick called off by the unload, a bounded wait at unload
// that ran out); each is skipped when its turn comes. Only the one timer thread and the
// unload ever give up, so two entries would do.
struct AbandonedTicket {
  bool used;
  unsigned long ticket;
};
AbandonedTicket g_abandoned[4];
Schedule g_schedules[kMaxTimers];
int g_schedule_count = 0;
bool g_stopping = false;
bool g_thread_running = false;
pthread_t g_thread;

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec AddNs(timespec t, long long ns) {
  const long long total = t.tv_nsec + ns;
  t.tv_sec += static_cast<time_t>(total / 1000000000LL);
  t.tv_nsec = static_cast<long>(total % 1000000000LL);
  return t;
}

bool NotAfter(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// With g_mutex held: waits until the library lock is this taker's.
void TakeLibrary() {
  const unsigned long ticket = g_next_ticket++;
  while (g_now_serving != ticket) pthread_cond_wait(&g_library_free, &g_mutex);
}

// With g_mutex held: serves the next ticket, skipping those given up.
void ReleaseLibrary() {
  ++g_now_serving;
  for (bool skipped = true; skipped;) {
    skipped = false;
    for (AbandonedTicket& abandoned : g_abandoned) {
      if (abandoned.used && abandoned.ticket == g_now_serving) {
        abandoned.used = false;
        ++g_now_serving;
        skipped = true;
      }
    }
  }
  pthread_cond_broadcast(&g_library_free);
}

// With g_mutex held: gives up a ticket still waiting, or lets go of one being served.
void GiveUp(unsigned long ticket) {
  if (g_now_serving == ticket) {
    ReleaseLibrary();
    return;
  }
  for (AbandonedTicket& abandoned : g_abandoned) {
    if (!abandoned.used) {
      abandoned = AbandonedTicket{true, ticket};
      return;
    }
  }
}

// With g_mutex held: takes the library lock for a tick. False when the library is unloading:
// the tick is called off and its place in the queue given up.
bool TakeLibraryForTick() {
  const unsigned long ticket = g_next_ticket++;
  while (g_now_serving != ticket && !g_stopping) pthread_cond_wait(&g_library_free, &g_mutex);
  if (!g_stopping) return true;
  GiveUp(ticket);
  return false;
}

void* TimerThread(void*) {
  pthread_mutex_lock(&g_mutex);
  while (!g_stopping) {
    if (g_schedule_count == 0) {
      pthread_cond_wait(&g_timer_wake, &g_mutex);
      continue;
    }
    int soonest = 0;
    for (int i = 1; i < g_schedule_count; ++i) {
      if (!NotAfter(g_schedules[soonest].next, g_schedules[i].next)) soonest = i;
    }
    const timespec due = g_schedules[soonest].next;
    if (!NotAfter(due, Now())) {
      pthread_cond_timedwait(&g_timer_wake, &g_mutex, &due);
      continue;  // woken early, by a new timer or by the unload: look again
    }
    // A late timer ticks once; its schedule keeps its phase, skipping the periods it missed.
    // The next tick is counted from when this one was due, not from when it ends.
    const timespec now = Now();
    Schedule& schedule = g_schedules[soonest];
    while (NotAfter(schedule.next, now)) schedule.next = AddNs(schedule.next, kPeriodNs);
    const TickCallback tick = schedule.tick;
    if (!TakeLibraryForTick()) break;
    pthread_mutex_unlock(&g_mutex);
    tick();
    pthread_mutex_lock(&g_mutex);
    ReleaseLibrary();
  }
  pthread_mutex_unlock(&g_mutex);
  return nullptr;
}

// fork copies the library's state but not its timer thread. Before it, take the library lock
// (and g_mutex) so that the child's copy is never caught halfway through an exchange or
// locked by a thread the child does not have; the child then carries on without ticks.
void BeforeFork() {
  pthread_mutex_lock(&g_mutex);
  TakeLibrary();
}

void AfterForkInParent() {
  ReleaseLibrary();
  pthread_mutex_unlock(&g_mutex);
}

void InitMonotonicConditions() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&g_timer_wake, &attributes);
  pthread_cond_init(&g_library_free, &attributes);
  pthread_condattr_destroy(&attributes);
}

void AfterForkInChild() {
  g_thread_running = false;  // nothing to join at the child's exit
  g_schedule_count = 0;
  // The fork handler's hold on the lock ends with the fork: the child starts with it free.
  g_next_ticket = g_now_serving = 0;
  for (AbandonedTicket& abandoned : g_abandoned) abandoned.used = false;
  // The copies may still count waiters from threads the child does not have.
  InitMonotonicConditions();
  pthread_mutex_unlock(&g_mutex);
}

__attribute__((constructor)) void StartTimerThread() {
  InitMonotonicConditions();

  // Registered per library image: the C library drops the handlers when it is unloaded.
  pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);

  // The thread takes no signals: the host's signals stay with the host's own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  g_thread_running = pthread_create(&g_thread, nullptr, TimerThread, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Runs at dlclose, or at exit for a library loaded with the program.
__attribute__((destructor)) void StopTimerThread() { StopAllTimers(); }

}  // namespace

bool StartPeriodicTimer(TickCallback tick) {
  pthread_mutex_lock(&g_mutex);
  const bool accepted = g_thread_running && !g_stopping && g_schedule_count < kMaxTimers;
  if (accepted) {
    g_schedules[g_schedule_count++] = Schedule{tick, AddNs(Now(), kPeriodNs)};
    pthread_cond_signal(&g_timer_wake);
  }
  pthread_mutex_unlock(&g_mutex);
  return accepted;
}

void StopAllTimers() {
  pthread_mutex_lock(&g_mutex);
  const bool join = g_thread_running && !g_stopping && !pthread_equal(g_thread, pthread_self());
  g_stopping = true;
  g_schedule_count = 0;
  pthread_cond_signal(&g_timer_wake);         // an idle thread
  pthread_cond_broadcast(&g_library_free);  // a tick waiting for the library lock
  pthread_mutex_unlock(&g_mutex);
  // A tick already running finishes its exchange (a few reply time-outs at most) first.
  if (join) pthread_join(g_thread, nullptr);
}

LibraryLock::LibraryLock() {
  pthread_mutex_lock(&g_mutex);
  TakeLibrary();
  pthread_mutex_unlock(&g_mutex);
}

LibraryLock::LibraryLock(int wait_ms) {
  const timespec until = AddNs(Now(), static_cast<long long>(wait_ms) * 1000000LL);
  pthread_mutex_lock(&g_mutex);
  const unsigned long ticket = g_next_ticket++;
  while (g_now_serving != ticket && NotAfter(Now(), until)) {
    pthread_cond_timedwait(&g_library_free, &g_mutex, &until);
  }
  held_ = g_now_serving == ticket;
  if (!held_) GiveUp(ticket);
  pthread_mutex_unlock(&g_mutex);
}

LibraryLock::~LibraryLock() {
  if (!held_) return;
  pthread_mutex_lock(&g_mutex);
  ReleaseLibrary();
  pthread_mutex_unlock(&g_mutex);
}

}  // namespace kelvaro::platform

namespace kelvaro::platform {

bool CheckThread::Start(Tick tick, void* context) {
  static_assert(sizeof(pthread_t) <= sizeof native_, "the thread handle does not fit");
  tick_ = tick;
  context_ = context;
  stop_.store(false);
  // The thread takes no signals: they stay with the host's own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  running_ = pthread_create(
                 &thread, nullptr,
                 [](void* self) -> void* {
                   static_cast<CheckThread*>(self)->Run();
                   return nullptr;
                 },
                 this) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (running_) *reinterpret_cast<pthread_t*>(native_) = thread;
  return running_;
}

void CheckThread::Join() {
  if (!running_) return;
  pthread_join(*reinterpret_cast<pthread_t*>(native_), nullptr);
  running_ = false;
}

}  // namespace kelvaro::platform
