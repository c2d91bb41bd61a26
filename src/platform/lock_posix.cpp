// The monitor on POSIX: a pthread mutex and a condition on the monotonic clock, so a change
// of the wall clock never stretches a timed wait.
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/lock.h"

namespace kelvaro::platform {
namespace {

struct Native {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

Native& Of(unsigned char* storage) { return *reinterpret_cast<Native*>(storage); }

}  // namespace

Monitor::Monitor() { Reinitialise(); }

void Monitor::Reinitialise() {
  static_assert(sizeof(Native) <= sizeof native_, "the monitor's storage is too small");
  Native* native = new (native_) Native;
  pthread_mutex_init(&native->mutex, nullptr);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&native->condition, &attributes);
  pthread_condattr_destroy(&attributes);
}

void Monitor::Enter() { pthread_mutex_lock(&Of(native_).mutex); }

void Monitor::Leave() { pthread_mutex_unlock(&Of(native_).mutex); }

void Monitor::Wait(int wait_ms) {
  if (wait_ms < 0) {
    pthread_cond_wait(&Of(native_).condition, &Of(native_).mutex);
    return;
  }
  WaitMicroseconds(static_cast<long long>(wait_ms) * 1000LL);
}

void Monitor::WaitMicroseconds(long long wait_us) {
  Native& native = Of(native_);
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const long long ns = until.tv_nsec + wait_us * 1000LL;
  until.tv_sec += static_cast<time_t>(ns / 1000000000LL);
  until.tv_nsec = static_cast<long>(ns % 1000000000LL);
  pthread_cond_timedwait(&native.condition, &native.mutex, &until);
}

void Monitor::WakeAll() { pthread_cond_broadcast(&Of(native_).condition); }

}  // namespace kelvaro::platform
