// The library's one record of working state: zero-filled at load, never allocated or freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/serial.h"

namespace kelvaro {

// A read asks for at most this many bytes; the buffer keeps one more, always zero.
inline constexpr std::size_t kMaxReplyBytes = 149;
// A name reply carries at most kMaxReplyBytes - 3 characters; the text keeps them and a NUL.
inline constexpr std::size_t kNameCapacity = kMaxReplyBytes - 3 + 1;

struct LinkState {
  platform::PortHandle port;          // written by the port (open/close)
  int initialised;                    // written by initialisation; never cleared
  int auto_connected;                 // written by the auto-connect tick
  std::uint32_t ReplyValue;           // written by ReadReply: last reply that passed its checksum
  std::uint8_t reply[kMaxReplyBytes + 1];  // written by ReadReply: zeroed before every read
  std::uint32_t reply_count;          // written by ReadReply
  char LensNameText[kNameCapacity];   // written by ReadReply from 0x11 replies
};

// Zero-initialised static storage, as the loader leaves it.
extern LinkState g_link;

}  // namespace kelvaro
