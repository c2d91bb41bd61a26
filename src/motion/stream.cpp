#include "motion/stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>

#include "commands/positions.h"
#include "core/link_state.h"
#include "platform/clock.h"

namespace kelvaro {
namespace {

using platform::MonotonicClock;

// A round whose every read failed without reaching a lens (no port, or one being opened
// again) is not followed at once by another: a stream never spins.
constexpr auto kIdleRound = std::chrono::milliseconds(100);

int FirstAxis(unsigned axes, int from) {
  while (from < 3 && (axes & (1u << from)) == 0) ++from;
  return from;
}

bool ReachedNoLens(int code) { return code == KELVARO_PORT_NOT_OPEN || code == KELVARO_GENERAL_FAILURE; }

}  // namespace

void Stream::Start(const kelvaro_lens* owner, unsigned axes, double rate_hz, LinkState& link) {
  ring_.Enter();
  owner_ = owner;
  ++epoch_;
  first_ = unread_ = newest_ = 0;
  stored_ = 0;
  ring_.WakeAll();  // a waiter on the stream this one replaces
  ring_.Leave();
  axes_ = axes;
  rate_hz_ = rate_hz;
  t0_ = next_ = MonotonicClock::now();
  rounds_ = 0;
  axis_ = FirstAxis(axes, 0);
  fresh_ = 0;
  reached_lens_ = false;
  good_time_ = 0.0;
  std::fill(std::begin(position_), std::end(position_), 0);
  link.streaming = true;
}

void Stream::Stop(LinkState& link) {
  ring_.Enter();
  owner_ = nullptr;
  ++epoch_;
  unread_ = 0;
  stored_ = 0;
  ring_.WakeAll();
  ring_.Leave();
  axes_ = 0;
  link.streaming = false;
}

void Stream::Step(LinkState& link) {
  if (!Active()) return;
  unsigned short value = 0;
  const int code = ReadPosition(link, static_cast<Motor>(axis_), &value);
  if (code == KELVARO_OK) {
    good_time_ = platform::ClockSeconds();
    position_[axis_] = value;
    fresh_ |= 1u << axis_;
    ++link.stream_replies;
  }
  reached_lens_ = reached_lens_ || !ReachedNoLens(code);
  axis_ = FirstAxis(axes_, axis_ + 1);
  if (axis_ < 3) {
    next_ = MonotonicClock::now();  // the round goes on
    return;
  }
  EndRound();
}

void Stream::EndRound() {
  kelvaro_sample sample{};
  sample.time = fresh_ != 0 ? good_time_ : platform::ClockSeconds();
  sample.fresh = fresh_;
  std::copy(std::begin(position_), std::end(position_), sample.position);
  ring_.Enter();
  sample.sequence = stored_ + 1;
  Store(sample);
  ring_.WakeAll();
  ring_.Leave();

  const auto now = MonotonicClock::now();
  if (rate_hz_ <= 0.0) {
    next_ = now;
  } else {
    // The next point of the grid not yet passed: a late round skips the ones it missed.
    const double elapsed = std::chrono::duration<double>(now - t0_).count();
    rounds_ = std::max(rounds_ + 1, static_cast<long long>(std::ceil(elapsed * rate_hz_)));
    next_ = t0_ + std::chrono::duration_cast<MonotonicClock::duration>(
                      std::chrono::duration<double>(static_cast<double>(rounds_) / rate_hz_));
  }
  if (!reached_lens_) next_ = std::max(next_, now + kIdleRound);
  axis_ = FirstAxis(axes_, 0);
  fresh_ = 0;
  reached_lens_ = false;
}

void Stream::Store(const kelvaro_sample& sample) {
  if (unread_ == KELVARO_STREAM_DEPTH) {  // full: the oldest unread one goes
    first_ = (first_ + 1) % KELVARO_STREAM_DEPTH;
    --unread_;
  }
  newest_ = (first_ + unread_) % KELVARO_STREAM_DEPTH;
  samples_[newest_] = sample;
  ++unread_;
  ++stored_;
}

int Stream::Read(const kelvaro_lens* owner, kelvaro_sample* samples, std::size_t max, std::size_t* count) {
  ring_.Enter();
  const bool serves = Serves(owner);
  std::size_t copied = 0;
  if (serves) {
    for (; copied < max && unread_ > 0; ++copied) {
      samples[copied] = samples_[first_];
      first_ = (first_ + 1) % KELVARO_STREAM_DEPTH;
      --unread_;
    }
  }
  ring_.Leave();
  if (!serves) return KELVARO_INVALID_ARGUMENT;
  *count = copied;
  return KELVARO_OK;
}

int Stream::Wait(const kelvaro_lens* owner, kelvaro_sample* sample, int timeout_ms) {
  const platform::Deadline until(timeout_ms);
  ring_.Enter();
  const unsigned long epoch = epoch_;
  int code = KELVARO_TIMEOUT;
  while (Serves(owner) && epoch_ == epoch) {
    if (unread_ > 0) {
      *sample = samples_[first_];
      first_ = (first_ + 1) % KELVARO_STREAM_DEPTH;
      --unread_;
      code = KELVARO_OK;
      break;
    }
    const int left = until.RemainingMs();
    if (left == 0) break;
    ring_.Wait(left);
  }
  if (!Serves(owner) || epoch_ != epoch) code = KELVARO_INVALID_ARGUMENT;
  ring_.Leave();
  return code;
}

int Stream::Latest(const kelvaro_lens* owner, kelvaro_sample* sample) {
  ring_.Enter();
  int code = KELVARO_INVALID_ARGUMENT;
  if (Serves(owner)) {
    code = stored_ == 0 ? KELVARO_TIMEOUT : KELVARO_OK;
    if (stored_ != 0) *sample = samples_[newest_];
  }
  ring_.Leave();
  return code;
}

}  // namespace kelvaro
