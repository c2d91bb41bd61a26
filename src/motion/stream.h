// A lens's position stream: the rounds its worker reads, one exchange at a time, and the ring
// of samples that hosts read from any thread without waiting for the lens. Fixed size, no
// heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvaro.h"
#include "platform/deadline.h"
#include "platform/lock.h"

namespace kelvaro {

struct LinkState;

class Stream {
 public:
  using TimePoint = platform::MonotonicClock::time_point;

  // With the lens's lock held. `owner` is the handle the samples are for; reads through any
  // other handle give 101.
  void Start(const kelvaro_lens* owner, unsigned axes, double rate_hz, LinkState& link);
  // With the lens's lock held, or at close: unread samples are gone, waiters return 101.
  void Stop(LinkState& link);
  bool Active() const { return axes_ != 0; }
  // When the next exchange is due (TimePoint::max() with no stream).
  TimePoint NextDue() const { return Active() ? next_ : TimePoint::max(); }
  // The worker, with the lens's lock held: the next read of the round in progress.
  void Step(LinkState& link);

  // Any thread, no lock of the lens: see kelvaro_stream_read, _wait and kelvaro_latest.
  int Read(const kelvaro_lens* owner, kelvaro_sample* samples, std::size_t max, std::size_t* count);
  int Wait(const kelvaro_lens* owner, kelvaro_sample* sample, int timeout_ms);
  int Latest(const kelvaro_lens* owner, kelvaro_sample* sample);

 private:
  void EndRound();
  void Store(const kelvaro_sample& sample);  // with ring_ entered
  bool Serves(const kelvaro_lens* owner) const { return owner_ != nullptr && owner_ == owner; }

  // The rounds, with the lens's lock held.
  unsigned axes_ = 0;
  double rate_hz_ = 0.0;  // 0: as fast as the line goes
  TimePoint t0_{};
  TimePoint next_{};
  long long rounds_ = 0;       // the grid point of the round in progress
  int axis_ = 0;               // the next axis of the round in progress
  unsigned fresh_ = 0;         // read successfully in this round
  bool reached_lens_ = false;  // a read of this round went out to a lens at all
  double good_time_ = 0.0;     // kelvaro_clock() after the round's last good reply
  unsigned short position_[3] = {};

  // The ring, guarded by ring_ (taken briefly, never across an exchange).
  platform::Monitor ring_;
  const kelvaro_lens* owner_ = nullptr;
  unsigned long epoch_ = 0;  // every start and stop: a waiter sees its stream went away
  kelvaro_sample samples_[KELVARO_STREAM_DEPTH] = {};
  std::size_t first_ = 0;   // the oldest unread
  std::size_t unread_ = 0;
  std::size_t newest_ = 0;  // valid when stored_ > 0
  unsigned int stored_ = 0;  // samples of this stream so far: the next one's sequence - 1
};

}  // namespace kelvaro
