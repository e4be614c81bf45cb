#include "lens_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace camcal {

namespace {

// Samples per image reach: fine enough that a fold or pole narrower than a
// pixel in a 4000 pixel image is still met.
constexpr double kSamplesPerReach = 4000.0;

// Polynomial in s = r^2: c0 + c1 s + c2 s^2 + c3 s^3, and its derivative.
struct Cubic {
  double c0, c1, c2, c3;
  double value(double s) const { return c0 + s * (c1 + s * (c2 + s * c3)); }
  double slope(double s) const { return c1 + s * (2.0 * c2 + s * 3.0 * c3); }
};

// "52.3 deg off axis, 84% of the way to the farthest image corner": the
// same for every image size that scales the full frame without a crop.
std::string describePlace(double r, double rd, double reach) {
  char text[128];
  std::snprintf(text, sizeof(text),
                "%.1f deg off axis, %.0f%% of the way from the principal point to the farthest "
                "image corner",
                std::atan(r) * 180.0 / M_PI, 100.0 * rd / reach);
  return text;
}

}  // namespace

std::string checkLensModel(const Eigen::Matrix3f& K, const std::vector<float>& distortion,
                           int width, int height) {
  const double fx = K(0, 0), fy = K(1, 1), skew = K(0, 1), cx = K(0, 2), cy = K(1, 2);
  if (!(fx > 0.0) || !(fy > 0.0) || !std::isfinite(fx) || !std::isfinite(fy)) {
    return "the focal length is not a positive number";
  }
  double k[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::copy_n(distortion.begin(), std::min<size_t>(distortion.size(), 8), k);
  const Cubic numerator{1.0, k[0], k[1], k[4]};
  const Cubic denominator{1.0, k[5], k[6], k[7]};

  // Distorted normalized radius of the farthest image corner:
  // yd = (v - cy) / fy, xd = (u - cx - skew yd) / fx.
  double reach = 0.0;
  for (double u : {0.0, double(width)}) {
    for (double v : {0.0, double(height)}) {
      const double yd = (v - cy) / fy;
      const double xd = (u - cx - skew * yd) / fx;
      reach = std::max(reach, std::hypot(xd, yd));
    }
  }

  // Walk outwards until rd covers the image.
  const double step = std::max(reach, 1e-3) / kSamplesPerReach;
  double rd = 0.0;
  for (double r = 0.0; r <= kLargestRadius; r += step) {
    const double s = r * r;
    const double n = numerator.value(s);
    const double d = denominator.value(s);
    if (d < kDenominatorFloor) {
      char value[32];
      std::snprintf(value, sizeof(value), "%.3g", d);
      return "the rational denominator 1 + k4 r^2 + k5 r^4 + k6 r^6 falls to " +
             std::string(value) + " at " + describePlace(r, rd, reach);
    }
    rd = r * n / d;
    // rd'(r) = (n d + 2 s (n' d - n d')) / d^2: its sign is the numerator's.
    const double slope = n * d + 2.0 * s * (numerator.slope(s) * d - n * denominator.slope(s));
    if (slope <= 0.0) {
      return "the radial mapping is not monotone: it turns back at " + describePlace(r, rd, reach);
    }
    if (rd >= reach) return "";
  }
  return "the radial mapping never reaches the farthest image corner: it ends at " +
         describePlace(kLargestRadius, rd, reach);
}

}  // namespace camcal
