// Loader entry of the DLL: every notification succeeds. The clean-up at unload is the
// library's static destructor (core/lens_pool.cpp), which the C runtime runs after this.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/loader.h"

namespace {
volatile LONG g_process_exiting = 0;
}  // namespace

bool kelvaro::platform::ProcessExiting() { return g_process_exiting != 0; }

void kelvaro::platform::OnFork(void (*)(), void (*)(), void (*)()) {}

// Process exit (reserved != NULL): no message is dispatched any more and the other threads
// are already gone, possibly holding locks, so the clean-up must not wait for anything.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_process_exiting = 1;
  return TRUE;
}
