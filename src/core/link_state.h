// The library's one record of working state: zero-filled at load, never allocated or freed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/deadline.h"
#include "platform/serial.h"

namespace kelvaro {

// A read asks for at most this many bytes; the buffer keeps one more, always zero.
inline constexpr std::size_t kMaxReplyBytes = 149;
// A name reply carries at most kMaxReplyBytes - 3 characters; the text keeps them and a NUL.
inline constexpr std::size_t kNameCapacity = kMaxReplyBytes - 3 + 1;

// The working state of one lens link. The flat functions use the one static record g_link;
// each lens of the handle interface has a record of its own (core/lens_pool.h). The
// behaviours in which the two interfaces differ are options of the record, read by the one
// exchange; zero-filled, they are the flat functions' behaviour.
struct LinkState {
  platform::PortHandle port;          // written by the port (open/close)
  int initialised;                    // written by initialisation; never cleared
  std::atomic<int> auto_connected;    // written by the check; read without the lens's lock
  std::uint32_t ReplyValue;           // written by ReadReply: last reply that passed its checksum
  std::uint8_t reply[kMaxReplyBytes + 1];  // written by ReadReply: zeroed before every read
  std::uint32_t reply_count;          // written by ReadReply
  char LensNameText[kNameCapacity];   // written by ReadReply from 0x11 replies
  // Options, set when the link's port opens.
  bool frame_ended;      // a read ends as soon as a whole frame has arrived
  bool discard_stale;    // the receive queue is emptied before each request, and only one
                         // whole frame is taken for a reply
  // Written by ReadReply, for a link that discards stale bytes: until then a reply given up
  // may still arrive, right before the next one.
  platform::MonotonicClock::time_point late_replies_until;
};

// Zero-initialised static storage, as the loader leaves it.
extern LinkState g_link;

}  // namespace kelvaro
