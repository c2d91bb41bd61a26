// Win32 timer: windowless SetTimer timers, delivered as WM_TIMER through the message loop of
// the thread that started them. Windows coalesces WM_TIMER, so a late tick runs once.
#include "timer.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace kelvaro::platform {
namespace {

// With no owner window Windows ignores the requested id and returns a fresh one per call,
// so every start makes one more independent timer.
constexpr UINT_PTR kRequestedTimerId = 567;

// Fixed table: no allocation, and a full table is a refusal like any other.
constexpr int kMaxTimers = 64;

struct TimerSlot {
  UINT_PTR id;  // 0 = free
  TickCallback tick;
};

TimerSlot g_timers[kMaxTimers];  // guarded by the library lock

// Initialised on first use so that the lock works whether or not a static constructor or
// DllMain has run yet (the same code is also linked into test programs).
INIT_ONCE g_lockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION g_lock;

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_lock);
  return TRUE;
}

CRITICAL_SECTION* Lock() {
  InitOnceExecuteOnce(&g_lockOnce, InitLock, nullptr, nullptr);
  return &g_lock;
}

// Deletes the lock when the module unloads, after DllMain's detach has stopped the timers;
// a critical section left behind in unmapped memory would dangle in the process's list.
struct LockCleanup {
  ~LockCleanup() {
    BOOL pending = FALSE;
    if (InitOnceBeginInitialize(&g_lockOnce, INIT_ONCE_CHECK_ONLY, &pending, nullptr) &&
        !pending) {
      DeleteCriticalSection(&g_lock);
    }
  }
} g_lockCleanup;

void CALLBACK TimerTrampoline(HWND, UINT, UINT_PTR id, DWORD) {
  LibraryLock lock;
  // A WM_TIMER already queued when its timer was killed still arrives; it finds no slot.
  for (const TimerSlot& slot : g_timers) {
    if (slot.id == id) {
      slot.tick();
      return;
    }
  }
}

}  // namespace

LibraryLock::LibraryLock() { EnterCriticalSection(Lock()); }
LibraryLock::~LibraryLock() { LeaveCriticalSection(Lock()); }

bool StartPeriodicTimer(TickCallback tick) {
  if (tick == nullptr) return false;
  LibraryLock lock;  // critical sections are recursive, so a caller may already hold it
  for (TimerSlot& slot : g_timers) {
    if (slot.id != 0) continue;
    UINT_PTR id = SetTimer(nullptr, kRequestedTimerId, kTimerPeriodMs, TimerTrampoline);
    if (id == 0) return false;
    slot.id = id;
    slot.tick = tick;
    return true;
  }
  return false;
}

void StopAllTimers() {
  // Ticks run under the lock, so holding it here means none is in flight. Windowless timers
  // belong to the thread that started them: this must run on that thread (the host's
  // library thread, which is also the one that unloads the DLL) for KillTimer to find them.
  LibraryLock lock;
  for (TimerSlot& slot : g_timers) {
    if (slot.id == 0) continue;
    KillTimer(nullptr, slot.id);
    slot.id = 0;
    slot.tick = nullptr;
  }
}

}  // namespace kelvaro::platform
