// Checks of the inputs of the whole-image functions (undistortion.h), each
// writing the one level-2 record of a refusal, and the view's inverse for
// the per-pixel loops.
#pragma once

#include "calibration_utils/undistortion.h"

namespace dravik {
namespace calibration {

constexpr char kUndistortionTag[] = "calibration_utils";

// width x height positive and at most kMaxUndistortionPixels; `what` names
// the image in the record ("lens image", "view", ...).
bool checkImageSize(int width, int height, const char* what);
// The size (at most kMaxUndistortionPixels) and the lens (Lens::fromIntrinsics).
bool checkLens(const Lens& lens);
// The size and K of a view.
bool checkView(const PinholeView& view);
// A map whose arrays hold width x height entries each.
bool checkMap(const UndistortionMap& map);
// Sizes a map to be filled (not null) for width x height pixels, resampling
// a source of source_width x source_height.
bool prepareMap(int width, int height, int source_width, int source_height, UndistortionMap* map);

// K_view^-1 of a pixel row: the ray of pixel (u, v) is
//   y = (v - cy) / fy,  x = (u - cx - skew y) / fx.
struct ViewInverse {
  double cx, cy, skew, inverse_fx, inverse_fy;
  explicit ViewInverse(const Eigen::Matrix3f& K)
      : cx(K(0, 2)),
        cy(K(1, 2)),
        skew(K(0, 1)),
        inverse_fx(1.0 / K(0, 0)),
        inverse_fy(1.0 / K(1, 1)) {}
};

// The square of the sound region's radius, the bound the maps compare r^2 with.
inline double soundRadiusSquared(const Lens& lens) {
  const double r = lens.soundRegion().radius;
  return r * r;
}

}  // namespace calibration
}  // namespace dravik
