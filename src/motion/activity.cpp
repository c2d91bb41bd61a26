#include "motion/activity.h"

#include <algorithm>

#include "kelvaro.h"

namespace kelvaro {
namespace {

Activity g_activity[KELVARO_MAX_LENSES];

}  // namespace

Activity& ActivityOf(int index) { return g_activity[index]; }

platform::MonotonicClock::time_point RunActivity(LinkState& link, int index) {
  Activity& activity = ActivityOf(index);
  const auto now = platform::MonotonicClock::now();
  if (activity.motion.NextDue() <= now) {
    activity.motion.Step(link);
  } else if (activity.stream.NextDue() <= now) {
    activity.stream.Step(link);
  }
  return std::min(activity.motion.NextDue(), activity.stream.NextDue());
}

void EndActivity(LinkState& link, int index) {
  Activity& activity = ActivityOf(index);
  activity.motion.End();
  activity.stream.Stop(link);
}

}  // namespace kelvaro
