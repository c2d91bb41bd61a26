// Initialisation and the exported CLens class.
#include <cstdio>

#include "Kelvaro32.h"
#include "autoconnect/auto_connect.h"
#include "core/link_state.h"
#include "platform/timer.h"

extern "C" {

KELVARO_API(int) InitializeLensControl(void) {
  kelvaro::platform::LibraryLock lock;
  kelvaro::g_link.initialised = 1;
  // Every call adds one more once-a-second check; the library works on without one.
  if (!kelvaro::platform::StartPeriodicTimer(kelvaro::AutoConnectTick)) {
    std::fputs("timer failed\n", stdout);
    std::fflush(stdout);
  }
  return KELVARO_OK;
}

}  // extern "C"

// Kept for hosts that construct and assign one; the library never uses it.
CLens::CLens() = default;

CLens& CLens::operator=(const CLens&) { return *this; }
