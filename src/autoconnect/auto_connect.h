// The once-a-second lens check.
#pragma once

namespace kelvaro {

// One check, run by the timer with the library lock held: the handshake while the lens is
// not connected, the zoom query as a sign of life once it is.
void AutoConnectTick();

}  // namespace kelvaro
