// One conversation with the lens: a request frame, then whatever one read brings back.
// Every function works on the link record it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/link_state.h"

namespace kelvaro {

// Sends a request with `data_count` (0, 1 or 2) data bytes from `value`; a link that
// discards stale bytes empties its receive queue first.
// Returns 0, 10 (no port open) or 1 (the port refused the write).
int SendRequest(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count);

// Reads one reply into the link's reply buffer. A reply that passes its checksum sets
// ReplyValue (and, for a 0x11 reply with name bytes, LensNameText) before its function code
// is compared. Returns 0, 4 (nothing), 13 (1 or 2 bytes), 12 (checksum) or 6 (other code).
// `unsure` is set when a link that discards stale bytes took one frame alone while an
// earlier request's reply may still have been on its way: the frame may be that one.
int ReadReply(LinkState& link, std::uint8_t expected_function, bool& unsure);

// SendRequest, then ReadReply on success: the code of the whole exchange. On a link that
// discards stale bytes, a request whose one reply frame may be an earlier request's late
// reply is sent once more, and the repeat's reply taken.
int Exchange(LinkState& link, std::uint8_t function, std::uint16_t value = 0, std::size_t data_count = 0);

// A query (a request without data) and its reply. False when the request did not go out, so
// nothing was read and `code` is the send's; otherwise `code` is the reply's, and the reply
// buffer and ReplyValue are what the read left. Repeated as Exchange is.
bool Query(LinkState& link, std::uint8_t function, int& code);

// The handshake (function 0x01), without and with the initialisation check.
int Handshake(LinkState& link);
int ConnectLens(LinkState& link);

}  // namespace kelvaro
