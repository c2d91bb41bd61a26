// Timed moves, jogs and stop: the steps the lens is sent, how motion ends, and bad arguments.
#include <algorithm>
#include <cmath>

#include "motion_fixture.h"

namespace kelvaro_test {
namespace {

TEST_F(Motion, ATimedMoveStepsEveryAxisOnItsCurveAndEndsOnTheTargets) {
  Hold(0, 4000, 1000);
  for (int easing : {KELVARO_EASE_LINEAR, KELVARO_EASE_IN_OUT}) {
    lens.ClearReceived();
    const int targets[3] = {2000, 0, -1};
    ASSERT_EQ(kelvaro_move_together(handle, targets, 400, easing), KELVARO_OK) << easing;
    EXPECT_EQ(kelvaro_moving(handle), 1);
    ASSERT_TRUE(Settles(std::chrono::seconds(3)));
    const std::vector<int> iris = MovesOf(KELVARO_IRIS);
    const std::vector<int> zoom = MovesOf(KELVARO_ZOOM);
    EXPECT_TRUE(MovesOf(KELVARO_FOCUS).empty());
    // Steps every 20 ms: well over a handful in 400 ms, each one on its way, none back.
    ASSERT_GE(iris.size(), 8u) << easing;
    EXPECT_TRUE(std::is_sorted(iris.begin(), iris.end())) << easing;
    EXPECT_TRUE(std::is_sorted(zoom.rbegin(), zoom.rend())) << easing;
    EXPECT_EQ(iris.back(), 2000);
    EXPECT_EQ(zoom.back(), 0);
    // The curve: linear steps are even, eased ones start small.
    const int first = iris.front();
    if (easing == KELVARO_EASE_LINEAR) {
      EXPECT_GT(first, 40);
    } else {
      EXPECT_LT(first, 40);
    }
    // The last two moves are the ends of both axes, in one round.
    const std::vector<Bytes> received = lens.Received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[received.size() - 2][1], 0x20);
    EXPECT_EQ(received.back()[1], 0x21);
    Hold(0, 4000, 1000);
  }
}

// Zero duration: one move per given axis, every one even after a failure.
TEST_F(Motion, ZeroDurationSendsEachGivenAxisOnce) {
  lens.SetFault(0x20, Fault::Silent(1));
  const int targets[3] = {100, -1, 300};
  EXPECT_EQ(kelvaro_move_together(handle, targets, 0, KELVARO_EASE_IN_OUT), KELVARO_TIMEOUT);
  EXPECT_EQ(MovesOf(KELVARO_IRIS), std::vector<int>{100});
  EXPECT_EQ(MovesOf(KELVARO_FOCUS), std::vector<int>{300});
  EXPECT_EQ(kelvaro_moving(handle), 0);
}

// A failed start read leaves running motion as it was, and moves nothing.
TEST_F(Motion, AFailedStartReadMovesNothing) {
  Hold(0, 0, 0);
  const int zoom_up[3] = {-1, 4000, -1};
  ASSERT_EQ(kelvaro_move_together(handle, zoom_up, 2000, KELVARO_EASE_LINEAR), KELVARO_OK);
  lens.SetFault(0x32, Fault::Silent(1));
  const int both[3] = {-1, 100, 100};
  EXPECT_EQ(kelvaro_move_together(handle, both, 500, KELVARO_EASE_LINEAR), KELVARO_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(MovesOf(KELVARO_FOCUS).empty());
  const std::vector<int> zoom = MovesOf(KELVARO_ZOOM);
  EXPECT_TRUE(std::is_sorted(zoom.begin(), zoom.end()));  // still on its way to 4000
  EXPECT_EQ(kelvaro_stop(handle), KELVARO_OK);
}

TEST_F(Motion, AJogStepsUntilItsDeadmanAndNoFurther) {
  Hold(0, 1000, 0);
  ASSERT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.5, 200), KELVARO_OK);
  EXPECT_EQ(kelvaro_moving(handle), 1);
  ASSERT_TRUE(Settles(std::chrono::seconds(2)));
  std::vector<int> zoom = MovesOf(KELVARO_ZOOM);
  ASSERT_GE(zoom.size(), 3u);
  EXPECT_TRUE(std::is_sorted(zoom.begin(), zoom.end()));
  // About 0.2 s at half the travel a second: some 400 positions, never far past them.
  EXPECT_GT(zoom.back(), 1200);
  EXPECT_LT(zoom.back(), 1600);
  const size_t steps = zoom.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(MovesOf(KELVARO_ZOOM).size(), steps);

  // Renewed, the other way: a new jog after the deadman, read first.
  lens.ClearReceived();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, -1.0, 100), KELVARO_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  EXPECT_EQ(lens.Received().front(), (Bytes{0x00, 0x31, 0xCF}));
  zoom = MovesOf(KELVARO_ZOOM);
  EXPECT_TRUE(std::is_sorted(zoom.rbegin(), zoom.rend()));
  // Speed 0 ends it at once; on an axis at rest it reads and sends nothing.
  ASSERT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.0, 100), KELVARO_OK);
  EXPECT_EQ(kelvaro_moving(handle), 0);
  lens.ClearReceived();
  EXPECT_EQ(kelvaro_jog(handle, KELVARO_FOCUS, 0.0, 100), KELVARO_OK);
  EXPECT_TRUE(lens.Received().empty());
}

// A renewal that comes after the deadman, before the worker has ended the jog, starts a new
// jog with a read; when that read fails, the jog is over and kelvaro_moving must say so.
TEST_F(Motion, ARenewalAfterTheDeadmanWhoseReadFailsLeavesNothingMoving) {
  Hold(0, 1000, 0);
  ASSERT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.5, 100), KELVARO_OK);
  // The stream's first read keeps the worker busy well past the deadman.
  lens.SetFault(0x30, Fault::Delay(400, 1));
  ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit, 0), KELVARO_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  lens.SetFault(0x31, Fault::Silent(1));
  EXPECT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.5, 100), KELVARO_TIMEOUT);
  EXPECT_EQ(kelvaro_moving(handle), 0);
  EXPECT_EQ(kelvaro_stream_stop(handle), KELVARO_OK);
}

TEST_F(Motion, AJogEndsAtTheEndOfTravel) {
  Hold(4050, 0, 0);
  ASSERT_EQ(kelvaro_jog(handle, KELVARO_IRIS, 1.0, 60000), KELVARO_OK);
  ASSERT_TRUE(Settles(std::chrono::seconds(2)));
  EXPECT_EQ(MovesOf(KELVARO_IRIS).back(), 4095);
}

// The lens is read where it is and held there; nothing is sent after the stop returns.
TEST_F(Motion, StopHoldsTheLensWhereItIs) {
  Hold(0, 0, 0, lenssim::kTypicalMotorSpeed / 4);
  const int targets[3] = {-1, 4000, 4000};
  ASSERT_EQ(kelvaro_move_together(handle, targets, 300, KELVARO_EASE_LINEAR), KELVARO_OK);
  ASSERT_EQ(kelvaro_jog(handle, KELVARO_IRIS, 0.2, 60000), KELVARO_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(kelvaro_stop(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_moving(handle), 0);
  // The stop's own exchanges come last: a read and a move for each of the three axes.
  const std::vector<Bytes> received = lens.Received();
  ASSERT_GE(received.size(), 6u);
  const std::vector<Bytes> stop(received.end() - 6, received.end());
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_EQ(stop[2 * axis][1], 0x30 + axis);
    EXPECT_EQ(stop[2 * axis + 1][1], 0x20 + axis);
  }
  const int zoom = ((stop[3][2] << 8) | stop[3][3]) >> 4;
  EXPECT_LT(zoom, 3000);  // where the slow motor had got to, behind the path
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(lens.Received().size(), received.size());
}

TEST_F(Motion, CloseEndsEverythingAndNothingMoreReachesTheLine) {
  const int targets[3] = {4000, 4000, 4000};
  ASSERT_EQ(kelvaro_move_together(handle, targets, 5000, KELVARO_EASE_LINEAR), KELVARO_OK);
  ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit | kZoomBit | kFocusBit, 0), KELVARO_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(kelvaro_close(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_moving(handle), 0);
  lens.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(lens.Received().empty());
  handle = nullptr;
}

TEST_F(Motion, BadArgumentsGive101AndChangeNothing) {
  const int fine[3] = {100, -1, -1};
  const int none[3] = {-1, -1, -1};
  const int too_far[3] = {4096, -1, -1};
  const int below[3] = {-2, 10, -1};
  EXPECT_EQ(kelvaro_move_together(handle, none, 100, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(handle, too_far, 100, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(handle, below, 100, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(handle, nullptr, 100, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(handle, fine, 600001, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(handle, fine, 100, 2), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_move_together(nullptr, fine, 100, KELVARO_EASE_LINEAR), KELVARO_INVALID_ARGUMENT);
  for (double speed : {std::nan(""), 1.01, -1.5}) {
    EXPECT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, speed, 100), KELVARO_INVALID_ARGUMENT);
  }
  EXPECT_EQ(kelvaro_jog(handle, 3, 0.5, 100), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.5, 49), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_jog(handle, KELVARO_ZOOM, 0.5, 60001), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stop(nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_moving(nullptr), 0);
  EXPECT_EQ(kelvaro_moving(handle), 0);
  EXPECT_TRUE(lens.Received().empty());
  EXPECT_EQ(kelvaro_stop(handle), KELVARO_OK);  // nothing moving: nothing to read or send
  EXPECT_TRUE(lens.Received().empty());
}

}  // namespace
}  // namespace kelvaro_test
