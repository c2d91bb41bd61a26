// Loader entry of the DLL: every notification succeeds; the only work is at unload.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/loader.h"
#include "platform/timer.h"

namespace {
volatile LONG g_process_exiting = 0;
}  // namespace

bool kelvaro::platform::ProcessExiting() { return g_process_exiting != 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_process_exiting = 1;
  // FreeLibrary (reserved == NULL): the host goes on pumping messages after we are gone, so
  // its timers must die now or the next WM_TIMER calls into unmapped code. Process exit
  // (reserved != NULL): no message is dispatched any more and the other threads are already
  // gone, possibly holding the library lock, so taking it could only hang the exit.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    kelvaro::platform::StopAllTimers();
  }
  return TRUE;
}
