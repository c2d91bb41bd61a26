// Win32 timer: windowless SetTimer timers, delivered as WM_TIMER through the message loop of
// the thread that started them. Windows coalesces WM_TIMER, so a late tick runs once.
#include "platform/timer.h"

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
// DllMain has run yet (the same code is also linked into test programs). Never deleted: the
// C runtime runs the library's static destructors after DllMain's detach, and one of them
// (closing a port left open) takes the lock, in no fixed order with any destructor of ours.
// Without debug info the section is not entered in the process's list of critical
// sections, so nothing points into this module once it is unmapped.
INIT_ONCE g_lockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION g_lock;

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*) {
  return InitializeCriticalSectionEx(&g_lock, 0, CRITICAL_SECTION_NO_DEBUG_INFO);
}

CRITICAL_SECTION* Lock() {
  InitOnceExecuteOnce(&g_lockOnce, InitLock, nullptr, nullptr);
  return &g_lock;
}

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

LibraryLock::LibraryLock(int wait_ms) {
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
  while (!(held_ = TryEnterCriticalSection(Lock()) != FALSE) && GetTickCount64() < until) Sleep(10);
}

LibraryLock::~LibraryLock() {
  if (held_) LeaveCriticalSection(Lock());
}

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

namespace kelvaro::platform {

// A check thread holds a reference to the DLL and lets go of it with its very last call
// (FreeLibraryAndExitThread), so the DLL cannot be unmapped under a thread still running in
// it: a host that unloads the DLL with watched lenses open keeps it loaded until they close.
bool CheckThread::Start(Tick tick, void* context) {
  static_assert(sizeof(HANDLE) <= sizeof native_, "the thread handle does not fit");
  tick_ = tick;
  context_ = context;
  stop_.store(false);
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&StartPeriodicTimer), &self)) {
    return false;
  }
  struct Entry {
    static DWORD WINAPI Run(void* thread) {
      static_cast<CheckThread*>(thread)->Run();
      HMODULE module = nullptr;
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&StartPeriodicTimer), &module);
      FreeLibraryAndExitThread(module, 0);
    }
  };
  HANDLE thread = CreateThread(nullptr, 0, Entry::Run, this, 0, nullptr);
  if (thread == nullptr) {
    FreeLibrary(self);
    return false;
  }
  *reinterpret_cast<HANDLE*>(native_) = thread;
  running_ = true;
  return true;
}

void CheckThread::Join() {
  if (!running_) return;
  HANDLE thread = *reinterpret_cast<HANDLE*>(native_);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  running_ = false;
}

}  // namespace kelvaro::platform
