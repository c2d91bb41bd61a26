// Opening and closing a link's serial port. The handle lives in the link state from a
// successful open until close or the next open.
#include "core/port.h"

#include "Kelvaro32.h"
#include "core/link_state.h"
#include "platform/serial.h"

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

  const bool settled = platform::SerialApplyTimeouts(link.port) && platform::SerialApplyLineSettings(link.port) &&
                       platform::SerialSetEventMask(link.port);
  if (settled) return KELVARO_OK;
  // The flat functions keep such a device open: requests still go out through it.
  if (!link.policy.keep_refused_port) CloseLinkPort(link);
  return KELVARO_COMMS_ERROR;
}

}  // namespace kelvaro
