#include "motion/path.h"

#include <algorithm>
#include <cmath>

#include "kelvaro.h"

namespace kelvaro {

double Ease(int easing, double x) {
  x = std::clamp(x, 0.0, 1.0);
  return easing == KELVARO_EASE_IN_OUT ? x * x * (3.0 - 2.0 * x) : x;
}

int PathPosition(int start, int target, int easing, double fraction) {
  return static_cast<int>(std::lround(start + (target - start) * Ease(easing, fraction)));
}

}  // namespace kelvaro
