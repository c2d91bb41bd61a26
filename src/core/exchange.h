// One conversation with the lens: a request frame, then its reply. Every function works on
// the link record it is given, as its policy says:
//  - the flat policy keeps the receive queue: a reply is whatever one read brings (at most
//    149 bytes, the rest left for the next read, nothing dropped);
//  - every other link accounts for replies (core/reply_account.h): before a request, what
//    came since the last read pays the replies still owed to requests whose reads gave up,
//    and whatever is owed to no request is dropped; a read takes one whole frame of the
//    request's function, after any late replies owed, and ends as soon as it has one (with
//    frame-ended reads); a request whose read gave up owes its reply for a second from
//    the read's end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/link_state.h"

namespace kelvaro {

// Sends a request with `data_count` (0, 1 or 2) data bytes from `value`, after settling what
// has arrived on an accounting link. Returns 0, 10 (no port open) or 1 (the port refused
// the write).
int SendRequest(LinkState& link, std::uint8_t function, std::uint16_t value, std::size_t data_count);

// SendRequest, then the reply. A reply that passes its checksum sets ReplyValue (and, for a
// 0x11 reply with name bytes, LensNameText); on the flat policy before its function code is
// compared. Returns 0, 1, 10, 4 (nothing), 13 (1 or 2 bytes, or short of its length), 12
// (checksum, or more than the reply) or 6 (another code). On an accounting link, a request
// whose one frame may be an earlier request's late reply of the same function is sent once
// more, and a reply to either is taken.
int Exchange(LinkState& link, std::uint8_t function, std::uint16_t value = 0, std::size_t data_count = 0);

// A query (a request without data) and its reply. False when the request (or its repeat)
// did not go out, so `code` is the send's; otherwise `code` is the reply's, and the reply
// buffer and ReplyValue are what the read left.
bool Query(LinkState& link, std::uint8_t function, int& code);

// The handshake (function 0x01), without and with the initialisation check.
int Handshake(LinkState& link);
int ConnectLens(LinkState& link);

}  // namespace kelvaro
