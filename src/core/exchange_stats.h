// A lens's exchanges counted by result code and time: written by the exchange, copied by
// kelvaro_stats from any thread. Its own monitor is held only for the counting, never across
// an exchange, so reading it never waits for the lens.
#pragma once

#include "kelvaro.h"
#include "platform/deadline.h"
#include "platform/lock.h"

namespace kelvaro {

class ExchangeStats {
 public:
  void Clear();
  void Count(int code, platform::MonotonicClock::duration took);
  void CopyTo(kelvaro_lens_stats& stats);

 private:
  platform::Monitor monitor_;
  kelvaro_lens_stats counts_ = {};
};

}  // namespace kelvaro
