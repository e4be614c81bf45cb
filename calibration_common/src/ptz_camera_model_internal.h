// Helpers shared by the sources of the PTZ camera classes.
#pragma once

#include <cmath>
#include <limits>

namespace dravik {
namespace calibration {

constexpr char kPtzCameraModelTag[] = "ptz_camera_model";

// The int range as floating-point bounds: a whole value v fits an int when
// kIntLowest <= v < kIntPastMax (both exact in float and in double).
constexpr double kIntLowest = -2147483648.0;
constexpr double kIntPastMax = 2147483648.0;

// A whole value (already rounded or truncated) as an int. False, with *out
// untouched, when it is not finite or does not fit: such a value must never
// reach a conversion, whose behaviour would be undefined.
inline bool wholeValueToInt(double whole, int* out) {
  if (!(whole >= kIntLowest && whole < kIntPastMax)) return false;
  *out = static_cast<int>(whole);
  return true;
}

// A whole value as an int, saturated to the int range; 0 for NaN.
inline int saturatedInt(double whole) {
  if (std::isnan(whole)) return 0;
  if (whole < kIntLowest) return std::numeric_limits<int>::min();
  if (whole >= kIntPastMax) return std::numeric_limits<int>::max();
  return static_cast<int>(whole);
}

}  // namespace calibration
}  // namespace dravik
