#include "motion/path.h"

#include <gtest/gtest.h>

#include "kelvaro.h"

namespace kelvaro {
namespace {

TEST(Path, EasedPositionsStartAndEndExactlyAndNeverGoBack) {
  const struct {
    int easing;
    double fraction;
    double eased;
  } points[] = {
      {KELVARO_EASE_LINEAR, 0.25, 0.25},     {KELVARO_EASE_IN_OUT, 0.25, 0.15625},
      {KELVARO_EASE_IN_OUT, 0.5, 0.5},       {KELVARO_EASE_IN_OUT, 0.75, 0.84375},
      {KELVARO_EASE_IN_OUT, -0.5, 0.0},      {KELVARO_EASE_LINEAR, 1.5, 1.0},  // clamped
  };
  for (const auto& p : points) EXPECT_DOUBLE_EQ(Ease(p.easing, p.fraction), p.eased) << p.fraction;

  for (int easing : {KELVARO_EASE_LINEAR, KELVARO_EASE_IN_OUT}) {
    EXPECT_EQ(PathPosition(4095, 0, easing, 0.0), 4095);
    EXPECT_EQ(PathPosition(4095, 0, easing, 1.0), 0);
    int last = 10;
    for (int step = 0; step <= 1000; ++step) {
      const int position = PathPosition(10, 13, easing, step / 1000.0);
      EXPECT_GE(position, last);  // rounded to the nearest, never backwards
      last = position;
    }
    EXPECT_EQ(PathPosition(0, 3, easing, 0.5), 2);  // 1.5 rounds away from zero
  }
}

}  // namespace
}  // namespace kelvaro
