// Opening and closing a link's serial port.
#pragma once

namespace kelvaro {

struct LinkState;

// Closes any port the link holds, even the same device, then opens `name` with the lens's
// line settings and time-outs. Returns 0; 7 when it cannot be opened (no port afterwards);
// 5 when the device refuses a setting: it then stays open where the link's policy keeps
// refused ports (requests still go out), and is closed otherwise.
int OpenLinkPort(LinkState& link, const char* name);

// Closes the link's port, if it has one.
void CloseLinkPort(LinkState& link);

}  // namespace kelvaro
