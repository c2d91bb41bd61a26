// The once-a-second timer on POSIX: one thread of the library runs the schedules of every
// timer started, each tick under the library lock.
//
// The thread is created when the library is loaded and joined when it is unloaded (dlclose
// or process exit), so starting a timer later allocates nothing and no tick outlives the code.
#include <pthread.h>
#include <time.h>

#include "platform/timer.h"

namespace kelvaro::platform {
namespace {

// Far more than any host asks for; a full table counts as a refused timer.
constexpr int kMaxTimers = 64;
// How often a tick waiting for the library lock looks whether the library is unloading.
constexpr long kLockRetryNs = 50L * 1000 * 1000;

struct Schedule {
  TickCallback tick;
  timespec next;  // monotonic
};

pthread_mutex_t g_library_lock = PTHREAD_MUTEX_INITIALIZER;

// Guards everything below; never held while a tick runs.
pthread_mutex_t g_schedule_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_schedule_changed;
Schedule g_schedules[kMaxTimers];
int g_schedule_count = 0;
bool g_stopping = false;
bool g_thread_running = false;
pthread_t g_thread;

timespec Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
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

constexpr long long kPeriodNs = static_cast<long long>(kTimerPeriodMs) * 1000000LL;

// Takes the library lock for a tick; gives up when the library is unloading, so a host
// call that never returns cannot hold up the unload.
bool LockForTick() {
  for (;;) {
    const timespec until = AddNs(Now(CLOCK_REALTIME), kLockRetryNs);
    if (pthread_mutex_timedlock(&g_library_lock, &until) == 0) return true;
    pthread_mutex_lock(&g_schedule_lock);
    const bool stopping = g_stopping;
    pthread_mutex_unlock(&g_schedule_lock);
    if (stopping) return false;
  }
}

void RunTick(TickCallback tick) {
  if (!LockForTick()) return;
  tick();
  pthread_mutex_unlock(&g_library_lock);
}

void* TimerThread(void*) {
  pthread_mutex_lock(&g_schedule_lock);
  while (!g_stopping) {
    if (g_schedule_count == 0) {
      pthread_cond_wait(&g_schedule_changed, &g_schedule_lock);
      continue;
    }
    int soonest = 0;
    for (int i = 1; i < g_schedule_count; ++i) {
      if (!NotAfter(g_schedules[soonest].next, g_schedules[i].next)) soonest = i;
    }
    const timespec due = g_schedules[soonest].next;
    if (!NotAfter(due, Now(CLOCK_MONOTONIC))) {
      pthread_cond_timedwait(&g_schedule_changed, &g_schedule_lock, &due);
      continue;  // woken early, by a new timer or by the unload: look again
    }
    // A late timer ticks once; its schedule keeps its phase, skipping the periods it missed.
    const timespec now = Now(CLOCK_MONOTONIC);
    Schedule& schedule = g_schedules[soonest];
    while (NotAfter(schedule.next, now)) schedule.next = AddNs(schedule.next, kPeriodNs);
    const TickCallback tick = schedule.tick;
    pthread_mutex_unlock(&g_schedule_lock);
    RunTick(tick);
    pthread_mutex_lock(&g_schedule_lock);
  }
  pthread_mutex_unlock(&g_schedule_lock);
  return nullptr;
}

__attribute__((constructor)) void StartTimerThread() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&g_schedule_changed, &attributes);
  pthread_condattr_destroy(&attributes);
  g_thread_running = pthread_create(&g_thread, nullptr, TimerThread, nullptr) == 0;
}

__attribute__((destructor)) void StopTimerThread() { StopAllTimers(); }

}  // namespace

bool StartPeriodicTimer(TickCallback tick) {
  pthread_mutex_lock(&g_schedule_lock);
  const bool accepted = g_thread_running && !g_stopping && g_schedule_count < kMaxTimers;
  if (accepted) {
    g_schedules[g_schedule_count++] = Schedule{tick, AddNs(Now(CLOCK_MONOTONIC), kPeriodNs)};
    pthread_cond_signal(&g_schedule_changed);
  }
  pthread_mutex_unlock(&g_schedule_lock);
  return accepted;
}

void StopAllTimers() {
  pthread_mutex_lock(&g_schedule_lock);
  const bool join = g_thread_running && !g_stopping && !pthread_equal(g_thread, pthread_self());
  g_stopping = true;
  g_schedule_count = 0;
  pthread_cond_signal(&g_schedule_changed);
  pthread_mutex_unlock(&g_schedule_lock);
  if (join) pthread_join(g_thread, nullptr);
}

LibraryLock::LibraryLock() { pthread_mutex_lock(&g_library_lock); }
LibraryLock::~LibraryLock() { pthread_mutex_unlock(&g_library_lock); }

}  // namespace kelvaro::platform
