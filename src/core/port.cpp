// Opening and closing the lens's serial port. The handle lives in the link state from a
// successful open until close or the next open.
#include "Kelvaro32.h"
#include "core/link_state.h"
#include "platform/serial.h"
#include "platform/timer.h"

namespace kelvaro {
namespace {

void ClosePort() {
  platform::SerialClose(g_link.port);
  g_link.port = platform::kNoPort;
}

int OpenPort(const char* name) {
  if (!g_link.initialised) return KELVARO_NOT_INITIALIZED;
  if (g_link.port != platform::kNoPort) ClosePort();  // even when it is the same device

  g_link.port = platform::SerialOpen(name);
  if (g_link.port == platform::kNoPort) return KELVARO_UNABLE_TO_OPEN_PORT;

  // A device that refuses a setting stays open: requests still go out through it.
  if (!platform::SerialApplyTimeouts(g_link.port)) return KELVARO_COMMS_ERROR;
  if (!platform::SerialApplyLineSettings(g_link.port)) return KELVARO_COMMS_ERROR;
  if (!platform::SerialSetEventMask(g_link.port)) return KELVARO_COMMS_ERROR;
  return KELVARO_OK;
}

// The port belongs to the library: when the library is unloaded with the port still open,
// close it, so that a reload of the library (or another program) can open the device again.
// A check in flight finishes first (at most a few reply time-outs); a lock that is never let
// go (a thread that died in a call) leaves the port to the system, which closes it at exit.
constexpr int kUnloadWaitMs = 3000;

struct ClosePortAtUnload {
  ~ClosePortAtUnload() {
    const platform::LibraryLock lock(kUnloadWaitMs);
    if (lock.Held() && g_link.port != platform::kNoPort) ClosePort();
  }
} g_close_port_at_unload;

}  // namespace
}  // namespace kelvaro

extern "C" {

KELVARO_API(int) OpenComPort(const char* portName) {
  kelvaro::platform::LibraryLock lock;
  return kelvaro::OpenPort(portName);
}

KELVARO_API(int) CloseComPort(void) {
  kelvaro::platform::LibraryLock lock;
  if (kelvaro::g_link.port == kelvaro::platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  kelvaro::ClosePort();
  return KELVARO_OK;
}

}  // extern "C"
