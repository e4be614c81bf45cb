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
  // The library's check of a lens, in the words a field engineer meets.
  using dravik::calibration::LensProblem;
  const dravik::calibration::LensCheck check =
      dravik::calibration::isLens(K, distortion, width, height);
  const bool focal_length =
      std::isfinite(check.fx) && std::isfinite(check.fy) && check.fx > 0.0f && check.fy > 0.0f;
  switch (check.problem) {
    case LensProblem::kNone:
      break;
    case LensProblem::kCameraMatrix:
      if (!focal_length) return "the focal length is not a positive number";
      return "the camera matrix is not finite or the image size is not positive";
    case LensProblem::kDistortion:
      if (check.coefficients != dravik::kLensCoefficientCount) {
        return "the distortion is " + std::to_string(check.coefficients) +
               " coefficients, not the eight k1, k2, p1, p2, k3, k4, k5, k6";
      }
      return "a distortion coefficient is not a finite number";
    case LensProblem::kImageSize:
      return "the camera matrix is not finite or the image size is not positive";
  }
  dravik::calibration::Lens lens;
  dravik::calibration::Lens::fromIntrinsics(K, distortion, width, height, &lens);
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
