// The commands on the lens's worker: timed moves (move) and position streams (stream, and
// the samples watch shows).
#pragma once

#include <chrono>

#include "args.h"
#include "commands.h"
#include "kelvaro.h"
#include "report.h"
#include "session.h"

namespace kelvaroctl {

// A position that has not changed for this long has ended its travel, wherever it is.
inline constexpr std::chrono::milliseconds kSettledAfter{2000};
// How long one wait for a sample may block: short, so that Ctrl-C is seen between waits.
inline constexpr int kSampleWaitMs = 100;

// The positions of `sample` on the axes in the mask `axes`; one it did not read is "failed".
void AddSample(Report& report, const kelvaro_sample& sample, unsigned axes);

int Move(const Words& words, const Options& options, Session& session);
int StreamSamples(const Words& words, const Options& options, Session& session);

}  // namespace kelvaroctl
