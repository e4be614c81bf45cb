#include "lens_soundness.h"

#include <algorithm>
#include <cmath>

namespace dravik {
namespace calibration {

namespace {

constexpr int kStepsPerCornerRadius = 128;
// The search for the corner stops at this many corner radii (undistorted):
// a lens that needs more has all but flattened out.
constexpr int kMaxCornerRadii = 10;

// The normalised distorted radius of the image corner farthest from the
// principal point.
double cornerRadius(const LensOverImage& lens) {
  double radius = 0.0;
  for (const double u : {0.0, double(lens.image_size.x())}) {
    for (const double v : {0.0, double(lens.image_size.y())}) {
      radius = std::max(radius, std::hypot((u - lens.cx) / lens.fx, (v - lens.cy) / lens.fy));
    }
  }
  return radius;
}

}  // namespace

std::vector<double> soundnessRadii(const LensOverImage& lens, bool* reaches) {
  std::vector<double> radii;
  *reaches = false;
  const double corner = cornerRadius(lens);
  if (!(lens.fx > 0.0) || !(lens.fy > 0.0) || !std::isfinite(corner) || !(corner > 0.0)) {
    return radii;
  }
  const double step = corner / kStepsPerCornerRadius;
  for (int j = 1; j <= kStepsPerCornerRadius * kMaxCornerRadii; ++j) {
    const double r = j * step;
    radii.push_back(r);
    if (radialProfile(lens.distortion, r).distorted >= corner) {
      *reaches = true;
      break;
    }
  }
  return radii;
}

bool lensIsSoundOverImage(const LensOverImage& lens) {
  bool reaches = false;
  const std::vector<double> radii = soundnessRadii(lens, &reaches);
  if (!reaches) return false;
  for (const double r : radii) {
    const RadialProfile<double> p = radialProfile(lens.distortion, r);
    if (!(p.denominator >= kMinimumLensDenominator) || !(p.slope > 0.0)) return false;
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik
