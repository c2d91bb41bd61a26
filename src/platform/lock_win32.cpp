// The monitor on Win32: a slim reader/writer lock, taken exclusively, and a condition
// variable. Both start zero-filled and need no clean-up.
#include "platform/lock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

namespace kelvaro::platform {
namespace {

struct Native {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
};

Native& Of(unsigned char* storage) { return *reinterpret_cast<Native*>(storage); }

}  // namespace

Monitor::Monitor() { Reinitialise(); }

void Monitor::Reinitialise() {
  static_assert(sizeof(Native) <= sizeof native_, "the monitor's storage is too small");
  Native* native = new (native_) Native;
  InitializeSRWLock(&native->lock);
  InitializeConditionVariable(&native->condition);
}

void Monitor::Enter() { AcquireSRWLockExclusive(&Of(native_).lock); }

void Monitor::Leave() { ReleaseSRWLockExclusive(&Of(native_).lock); }

void Monitor::Wait(int wait_ms) {
  Native& native = Of(native_);
  SleepConditionVariableSRW(&native.condition, &native.lock, wait_ms < 0 ? INFINITE : static_cast<DWORD>(wait_ms), 0);
}

void Monitor::WaitMicroseconds(long long wait_us) {
  // Windows waits in whole milliseconds: rounded up, so a wait never ends before it is due.
  Wait(static_cast<int>((wait_us + 999) / 1000));
}

void Monitor::WakeAll() { WakeAllConditionVariable(&Of(native_).condition); }

}  // namespace kelvaro::platform
