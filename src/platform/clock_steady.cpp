#include "platform/deadline.h"

namespace kelvaro::platform {

MonotonicClock::time_point MonotonicClock::now() {
  return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

}  // namespace kelvaro::platform
