// What a handle lens does on its own between host calls: its position stream and its motion,
// one of each per lens record, run by the record's worker. Steps go before stream reads, so
// they keep their 20 ms cadence beside a stream that reads as fast as the line goes.
#pragma once

#include "motion/motion.h"
#include "motion/stream.h"

namespace kelvaro {

struct Activity {
  Stream stream;
  Motion motion;
};

// The activity of the lens in record `index`.
Activity& ActivityOf(int index);

// The worker's job (LensJobs::activity): one step round or one stream exchange, whichever is
// due, motion first. Returns when the next is due.
platform::MonotonicClock::time_point RunActivity(LinkState& link, int index);

// LensJobs::end: the stream and the motion end; nothing more is sent.
void EndActivity(LinkState& link, int index);

}  // namespace kelvaro
