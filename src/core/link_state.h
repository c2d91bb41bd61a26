// The working state of one lens link: zero-filled at load, never allocated or freed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/exchange_stats.h"
#include "core/frame.h"
#include "core/reply_account.h"
#include "platform/serial.h"

namespace kelvaro {

// A name reply carries at most kMaxReplyBytes - 3 characters; the text keeps them and a NUL.
inline constexpr std::size_t kNameCapacity = kMaxReplyBytes - 3 + 1;

// How a link behaves where the two interfaces differ: one value, read by the one exchange,
// the port and the commands. The flat functions' record has kFlatPolicy; its lock is the
// library lock and its check the library-wide one (core/lens_pool.h).
struct LinkPolicy {
  bool stale_out_values;    // a failed reply still reports the last good value
  bool frame_ended;         // a read ends as soon as a whole frame has arrived
  bool keep_receive_queue;  // nothing is dropped before a request, and a reply is whatever
                            // one read brings; else replies are accounted for (exchange.h)
  bool keep_refused_port;   // a device that refuses its settings stays open
};

inline constexpr LinkPolicy kFlatPolicy{true, false, true, true};
inline constexpr LinkPolicy HandlePolicy(bool frame_ended) { return LinkPolicy{false, frame_ended, false, false}; }

// The working state of one lens link. The flat functions have one record; each lens of the
// handle interface has a record of its own (core/lens_pool.h).
struct LinkState {
  platform::PortHandle port;          // written by the port (open/close)
  int initialised;                    // written by initialisation; never cleared
  std::atomic<int> auto_connected;    // written by the check; read without the lens's lock
  std::uint32_t ReplyValue;           // written by the exchange: last reply that passed its checksum
  std::uint8_t reply[kMaxReplyBytes + 1];  // written by the exchange: zeroed before every read;
                                           // the last byte always stays zero
  std::uint32_t reply_count;          // written by the exchange
  char LensNameText[kNameCapacity];   // written by the exchange from 0x11 replies
  LinkPolicy policy;                  // set when the record is given out
  // Links that account for replies (not the flat policy), written by the exchange: the
  // replies still owed, and what has come in since the last read and may be the start of
  // one of them.
  ReplyAccount owed;
  std::uint8_t pending[kMaxReplyBytes];
  std::size_t pending_count;
  ExchangeStats stats;  // written by the exchange; read from any thread
  // A position stream's replies are the check's sign of life: written by the stream, read
  // by the check (both with the lock held).
  bool streaming;
  std::uint32_t stream_replies;
  std::uint32_t stream_replies_checked;
};

}  // namespace kelvaro
