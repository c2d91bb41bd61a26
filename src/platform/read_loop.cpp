#include "platform/read_loop.h"

#include "platform/deadline.h"

namespace kelvaro::platform {

std::size_t ReadWithTimeouts(Receive receive, void* context, std::uint8_t* buffer, std::size_t capacity,
                             const ReadComplete* complete, bool& gone) {
  const Deadline total(kReadTotalMs);
  Deadline gap = total;  // until the first byte only the total counts
  std::size_t got = 0;
  while (got < capacity) {
    const Deadline& until = Deadline::Sooner(total, gap);
    if (until.Expired()) break;
    const long n = receive(context, buffer + got, capacity - got, until.RemainingMs());
    if (n < 0) {
      gone = true;  // nothing more will come
      break;
    }
    if (n == 0) continue;  // the time-outs are looked at again
    got += static_cast<std::size_t>(n);
    if (complete != nullptr && (*complete)(buffer, got)) break;
    gap = Deadline(kReadIntervalMs);  // only data bytes restart the gap
  }
  return got;
}

std::size_t ReadArrived(Receive receive, void* context, std::uint8_t* buffer, std::size_t capacity, bool& gone) {
  std::size_t got = 0;
  while (got < capacity) {
    const long n = receive(context, buffer + got, capacity - got, 0);
    if (n < 0) gone = true;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace kelvaro::platform
