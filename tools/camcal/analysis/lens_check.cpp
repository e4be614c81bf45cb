#include "analysis/lens_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "calibration_utils/lens.h"
#include "cli/options.h"

namespace camcal {

namespace {

using dravik::calibration::SoundRegion;

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
  const double fx = K(0, 0), fy = K(1, 1);
  if (!(fx > 0.0) || !(fy > 0.0) || !std::isfinite(fx) || !std::isfinite(fy)) {
    return "the focal length is not a positive number";
  }
  if (distortion.size() != 8) {
    return "the distortion is " + std::to_string(distortion.size()) +
           " coefficients, not the eight k1, k2, p1, p2, k3, k4, k5, k6";
  }
  if (!std::all_of(distortion.begin(), distortion.end(),
                   [](float k) { return std::isfinite(k); })) {
    return "a distortion coefficient is not a finite number";
  }
  // The library's own check of a lens catches the rest (the other entries of
  // K, the image size); the reasons above are the ones a field engineer meets.
  dravik::calibration::Lens lens;
  if (!dravik::calibration::Lens::fromIntrinsics(K, distortion, width, height, &lens)) {
    return "the camera matrix is not finite or the image size is not positive";
  }
  if (lens.isSoundOverImage()) return "";

  const double reach = lens.farthestCornerRadius();
  const SoundRegion region = lens.soundRegion();
  const std::string place = describePlace(region.radius, region.distorted_radius, reach);
  if (region.distorted_radius >= reach) {
    char share[32];
    std::snprintf(share, sizeof(share), "%.0f%%", 100.0 * region.one_to_one_radius / reach);
    return "the tangential terms p1, p2 are large against the radial slope: the image is one "
           "to one only " +
           std::string(share) + " of the way from the principal point to the farthest corner";
  }
  switch (region.edge) {
    case SoundRegion::Edge::kPole: {
      char floor[32];
      std::snprintf(floor, sizeof(floor), "%g", dravik::calibration::kDenominatorFloor);
      return "the rational denominator 1 + k4 r^2 + k5 r^4 + k6 r^6 falls below " +
             std::string(floor) + " at " + place;
    }
    case SoundRegion::Edge::kFold:
      return "the radial mapping is not monotone: it turns back at " + place;
    case SoundRegion::Edge::kNone:
      break;
  }
  return "the radial mapping never reaches the farthest image corner: it ends at " + place;
}

std::string checkPrincipalPoint(const Eigen::Matrix3f& K, int width, int height) {
  const double cx = K(0, 2), cy = K(1, 2);
  if (cx >= -0.5 && cx <= width - 0.5 && cy >= -0.5 && cy <= height - 0.5) return "";
  char place[96];
  std::snprintf(place, sizeof(place), "(%.1f, %.1f)", cx, cy);
  return "the principal point " + std::string(place) + " lies outside the " +
         formatImageSize(width, height) + " image";
}

}  // namespace camcal
