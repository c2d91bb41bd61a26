// The once-a-second lens check.
#pragma once

namespace kelvaro {

struct LinkState;

// One check of a link, with its lock held: the handshake while the lens is not connected
// (then host mode 0), the zoom query as a sign of life once it is.
void CheckLens(LinkState& link);

// The flat functions' check, run by their timer with the library lock held.
void AutoConnectTick();

}  // namespace kelvaro
