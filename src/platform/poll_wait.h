// Waiting on one descriptor for the POSIX platform files, within a deadline.
#pragma once

#include <errno.h>
#include <poll.h>

#include "platform/deadline.h"

namespace kelvaro::platform {

// Waits for `events` until the deadline: the poll revents, 0 on time-out, POLLERR on error.
inline short WaitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, deadline.RemainingMs());
    if (ready > 0) return entry.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

}  // namespace kelvaro::platform
