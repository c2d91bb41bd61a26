#include "platform/deadline.h"

#include <gtest/gtest.h>

#include <thread>

namespace kelvaro::platform {
namespace {

TEST(Deadline, CountsDownAndExpires) {
  const Deadline deadline(60);
  const int at_start = deadline.RemainingMs();
  EXPECT_GT(at_start, 0);
  EXPECT_LE(at_start, 60);
  EXPECT_FALSE(deadline.Expired());
  std::this_thread::sleep_for(std::chrono::milliseconds(70));
  EXPECT_TRUE(deadline.Expired());
  EXPECT_EQ(deadline.RemainingMs(), 0);
}

TEST(Deadline, RoundsUpSoAWaitNeverEndsEarly) {
  // A fraction of a millisecond left is still one whole millisecond to wait.
  const Deadline deadline(1);
  const int left = deadline.RemainingMs();
  EXPECT_TRUE(left == 1 || deadline.Expired());
}

TEST(Deadline, ZeroAndNegativeAreAlreadyPast) {
  EXPECT_EQ(Deadline(0).RemainingMs(), 0);
  EXPECT_TRUE(Deadline(-5).Expired());
}

TEST(Deadline, SoonerPicksTheEarlier) {
  const Deadline late(500);
  const Deadline early(100);
  EXPECT_LE(Deadline::Sooner(late, early).RemainingMs(), 100);
  EXPECT_LE(Deadline::Sooner(early, late).RemainingMs(), 100);
}

}  // namespace
}  // namespace kelvaro::platform
