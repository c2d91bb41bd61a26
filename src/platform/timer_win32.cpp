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

TimerSlot g_timers[kMaxTimers];

void CALLBACK TimerTrampoline(HWND, UINT, UINT_PTR id, DWORD) {
  // A WM_TIMER already queued when its timer was killed still arrives; it finds no slot.
  for (const TimerSlot& slot : g_timers) {
    if (slot.id == id) {
      slot.tick();
      return;
    }
  }
}

}  // namespace

bool StartPeriodicTimer(TickCallback tick) {
  if (tick == nullptr) return false;
  for (TimerSlot& slot : g_timers) {
    if (slot.id != 0) continue;
    const UINT_PTR id = SetTimer(nullptr, kRequestedTimerId, kTimerPeriodMs, TimerTrampoline);
    if (id == 0) return false;
    slot.tick = tick;
    slot.id = id;
    return true;
  }
  return false;
}

void StopAllTimers() {
  for (TimerSlot& slot : g_timers) {
    if (slot.id == 0) continue;
    KillTimer(nullptr, slot.id);
    slot.id = 0;
    slot.tick = nullptr;
  }
}

}  // namespace kelvaro::platform
