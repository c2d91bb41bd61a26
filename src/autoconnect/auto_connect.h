// The once-a-second lens check, of the flat functions' link and of every watched lens.
#pragma once

namespace kelvaro {

struct LinkState;

// One check of a link, with its lock held: the handshake while the lens is not connected
// (then host mode 0), the zoom query as a sign of life once it is, or, while a position stream
// runs, the stream's replies since the last check. With `reopen_name`, a port
// whose device has gone is closed and opened again by that name, once a check, until it
// is back; a healthy port is never touched.
void CheckLens(LinkState& link, const char* reopen_name);

}  // namespace kelvaro
