// Opening and closing the lens's serial port. The handle lives in the link state from a
// successful open until close or the next open.
#include "core/port.h"

#include "Kelvaro32.h"
#include "core/link_state.h"
#include "platform/serial.h"
#include "platform/timer.h"

namespace kelvaro {

void CloseLinkPort(LinkState& link) {
  if (link.port == platform::kNoPort) return;
  platform::SerialClose(link.port);
  link.port = platform::kNoPort;
}

int OpenLinkPort(LinkState& link, const char* name) {
  CloseLinkPort(link);  // even when it is the same device

  link.port = platform::SerialOpen(name);
  if (link.port == platform::kNoPort) return KELVARO_UNABLE_TO_OPEN_PORT;

  // A device that refuses a setting stays open: requests still go out through it.
  if (!platform::SerialApplyTimeouts(link.port)) return KELVARO_COMMS_ERROR;
  if (!platform::SerialApplyLineSettings(link.port)) return KELVARO_COMMS_ERROR;
  if (!platform::SerialSetEventMask(link.port)) return KELVARO_COMMS_ERROR;
  return KELVARO_OK;
}

namespace {

// The port belongs to the library: when the library is unloaded with the port still open,
// close it, so that a reload of the library (or another program) can open the device again.
// A check in flight finishes first (at most a few reply time-outs); a lock that is never let
// go (a thread that died in a call) leaves the port to the system, which closes it at exit.
constexpr int kUnloadWaitMs = 3000;

struct ClosePortAtUnload {
  ~ClosePortAtUnload() {
    const platform::LibraryLock lock(kUnloadWaitMs);
    if (lock.Held()) CloseLinkPort(g_link);
  }
} g_close_port_at_unload;

}  // namespace
}  // namespace kelvaro

extern "C" {

KELVARO_API(int) OpenComPort(const char* portName) {
  kelvaro::platform::LibraryLock lock;
  if (!kelvaro::g_link.initialised) return KELVARO_NOT_INITIALIZED;
  return kelvaro::OpenLinkPort(kelvaro::g_link, portName);
}

KELVARO_API(int) CloseComPort(void) {
  kelvaro::platform::LibraryLock lock;
  if (kelvaro::g_link.port == kelvaro::platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  kelvaro::CloseLinkPort(kelvaro::g_link);
  return KELVARO_OK;
}

}  // extern "C"
