// Where a timed move's path is at a moment: the easing curve and its rounding. Pure.
#pragma once

namespace kelvaro {

// e(x) for x in 0 to 1 (clamped): x, or 3x^2 - 2x^3 for KELVARO_EASE_IN_OUT.
double Ease(int easing, double x);

// start + (target - start) * e(fraction), rounded to the nearest position.
int PathPosition(int start, int target, int easing, double fraction);

}  // namespace kelvaro
